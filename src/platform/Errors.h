#pragma once

#include <stdexcept>
#include <string>

namespace th {

// Base of every error the program raises for the user: the message is the text shown
// in a message box, usually Russian. typeName() is what the start sequence prints before
// " ошибка : ".
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    virtual const char* typeName() const noexcept { return "Exception"; }
};

#define TH_DECLARE_ERROR(Name, Base)                                     \
    class Name : public Base {                                           \
    public:                                                              \
        using Base::Base;                                                \
        const char* typeName() const noexcept override { return #Name; } \
    }

// Name shown for an error: our own type name, or a readable one for foreign errors.
std::string errorTypeName(const std::exception& e);

// "<type name> ошибка : <message>", the form the start sequence reports errors in.
std::string describeStartupError(const std::exception& e);

}  // namespace th
