#pragma once

#include <QDialog>

#include <string>

#include "platform/Json.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace th {

class IDialogs;
class DispatcherClient;

// "Авторизация": checks the stored token with "test" and, when the service does not accept
// it, lets the user sign in with "authorize". A successful login leaves the new token in
// token(); storing it is the start sequence's business, the dialog never touches settings.
class LoginDialog : public QDialog {
public:
    static constexpr const char* kWrongLogin = "Неверное имя пользователя или пароль";
    static constexpr const char* kLoginPageUrl = "https://tillhaven.ru/login";

    LoginDialog(DispatcherClient& client, IDialogs& dialogs, QWidget* parent = nullptr);

    bool isAuthorized() const { return authorized_; }
    const std::string& token() const { return token_; }

    // The token check: a silent "test" with the stored token. Transport errors and
    // answers that are not JSON leave it for the caller to report.
    void checkAuthBegin();
    // The login attempt of the "OK" button.
    void signIn();
    // The answer handler of "authorize".
    void checkAuth(DispatcherClient& sender, const Json& response);

protected:
    void showEvent(QShowEvent* event) override;

private:
    // Gives each control its object name: its member's name without the underscore.
    void nameControls();
    void setUpWindow();
    QWidget* createPanel();
    void createControls();

    DispatcherClient& client_;
    IDialogs& dialogs_;
    bool authorized_ = false;
    std::string token_;

    // Controls.
    QLineEdit* loginEdit_ = nullptr;
    QLineEdit* passwordEdit_ = nullptr;
    QPushButton* okButton_ = nullptr;
    QPushButton* cancelButton_ = nullptr;
    QLabel* loginLink_ = nullptr;
};

}  // namespace th
