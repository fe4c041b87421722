#include "drivers/native/WideText.h"

#include <QString>

namespace th {

std::wstring utf8ToWide(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())).toStdWString();
}

std::string wideToUtf8(std::wstring_view text) {
    return QString::fromWCharArray(text.data(), static_cast<qsizetype>(text.size())).toStdString();
}

}  // namespace th
