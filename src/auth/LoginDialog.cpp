#include "auth/LoginDialog.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include "dispatcher/DispatcherClient.h"
#include "dispatcher/Messages.h"
#include "platform/Background.h"
#include "platform/Dialogs.h"
#include "platform/gui/ObjectNames.h"
#include "platform/gui/WindowFit.h"

namespace th {

namespace {

constexpr int kClientWidth = 284;
constexpr int kClientHeight = 183;
constexpr int kPictureSize = 40;

// A padlock: the panel's picture.
QPixmap drawPadlock() {
    QPixmap pixmap(kPictureSize, kPictureSize);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(90, 90, 90), 4));
    painter.setBrush(Qt::NoBrush);
    painter.drawArc(QRectF(11, 3, 18, 22), 0, 180 * 16);
    painter.drawLine(QPointF(11, 14), QPointF(11, 19));
    painter.drawLine(QPointF(29, 14), QPointF(29, 19));
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(214, 160, 34));
    painter.drawRoundedRect(QRectF(6, 18, 28, 20), 3, 3);
    painter.setBrush(QColor(70, 50, 10));
    painter.drawEllipse(QPointF(20, 26), 3, 3);
    painter.drawRect(QRectF(19, 27, 2, 6));
    return pixmap;
}

}  // namespace

LoginDialog::LoginDialog(DispatcherClient& client, IDialogs& dialogs, QWidget* parent)
    : QDialog(parent), client_(client), dialogs_(dialogs) {
    setWindowTitle("Авторизация");
    createControls();
    nameControls();
    fixToFit(*this, {kClientWidth, kClientHeight});
    setUpWindow();
}

void LoginDialog::setUpWindow() {
    authorized_ = false;
    token_.clear();
}

QWidget* LoginDialog::createPanel() {
    auto* panel = new QWidget(this);
    auto* row = new QHBoxLayout(panel);
    row->setContentsMargins(0, 0, 0, 0);
    auto* picture = new QLabel(panel);
    picture->setPixmap(drawPadlock());
    row->addWidget(picture);

    auto* lines = new QVBoxLayout;
    lines->setSpacing(0);
    lines->addWidget(new QLabel("Необходимо ввести логин и пароль  от", panel));
    auto* secondLine = new QHBoxLayout;
    // The lines above sit without spacing; the link keeps the gap of a blank from the text
    // before it.
    auto* siteText = new QLabel("личного кабинета на сайте", panel);
    secondLine->setSpacing(siteText->fontMetrics().horizontalAdvance(QLatin1Char(' ')));
    secondLine->addWidget(siteText);
    // Styled as a link and pointing at the login page, but clicking it does nothing.
    loginLink_ = new QLabel(QString("<a href=\"%1\">tillhaven</a>").arg(kLoginPageUrl), panel);
    loginLink_->setOpenExternalLinks(false);
    loginLink_->setTextInteractionFlags(Qt::NoTextInteraction);
    secondLine->addWidget(loginLink_);
    secondLine->addStretch(1);
    lines->addLayout(secondLine);
    row->addLayout(lines, 1);
    return panel;
}

void LoginDialog::createControls() {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 6, 8, 6);
    layout->setSpacing(2);
    layout->addWidget(createPanel());

    layout->addWidget(new QLabel("Логин (E-Mail)", this));
    loginEdit_ = new QLineEdit(this);
    layout->addWidget(loginEdit_);
    layout->addWidget(new QLabel("Введите пароль:", this));
    passwordEdit_ = new QLineEdit(this);
    passwordEdit_->setEchoMode(QLineEdit::Password);
    // An asterisk for each character typed, whatever the style's own mask.
    passwordEdit_->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));
    layout->addWidget(passwordEdit_);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    okButton_ = new QPushButton("OK", this);
    okButton_->setDefault(true);
    cancelButton_ = new QPushButton("Cancel", this);
    buttons->addWidget(okButton_);
    buttons->addWidget(cancelButton_);
    layout->addLayout(buttons);

    connect(okButton_, &QPushButton::clicked, this, [this] { signIn(); });
    connect(cancelButton_, &QPushButton::clicked, this, &QDialog::reject);

    setTabOrder(passwordEdit_, okButton_);
    setTabOrder(okButton_, cancelButton_);
    setTabOrder(cancelButton_, loginEdit_);
    passwordEdit_->setFocus();
}

void LoginDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    passwordEdit_->setFocus();
}

void LoginDialog::checkAuthBegin() {
    authorized_ = false;
    client_.setSilent();
    authorized_ = testAuthorized(client_.executeDelay(kCommandTest, testRequest()));
}

// The request runs off the user-interface thread, which meanwhile keeps the dialog painted
// and answering the window manager, but takes no click; the answer is handled here.
void LoginDialog::signIn() {
    // Both fields exactly as typed: no trimming, no check for empty ones.
    const Json request =
        authorizeRequest(loginEdit_->text().toStdString(), passwordEdit_->text().toStdString());
    std::optional<Json> answer;
    waitInBackground([&] {
        client_.executeImmediate(
            kCommandAuthorize, request,
            [&](DispatcherClient&, const Json& response) { answer = copyJson(response); });
    });
    if (answer)
        checkAuth(client_, *answer);
}

void LoginDialog::checkAuth(DispatcherClient&, const Json& response) {
    AuthorizeResult result;
    try {
        result = authorizeResult(response);
    } catch (const DispatcherAnswerError& e) {
        // Neither a login nor a refusal: not logged in, and the user is told why; what
        // was typed stays for another attempt.
        authorized_ = false;
        dialogs_.show(BoxKind::Plain, e.what());
        return;
    }
    authorized_ = result.auth;
    if (!authorized_) {
        dialogs_.show(BoxKind::Plain, kWrongLogin);
        passwordEdit_->clear();
        return;
    }
    token_ = result.token;
    accept();
}

void LoginDialog::nameControls() {
    setObjectNames({
        {loginEdit_, "loginEdit"},
        {passwordEdit_, "passwordEdit"},
        {okButton_, "okButton"},
        {cancelButton_, "cancelButton"},
        {loginLink_, "loginLink"},
    });
}

}  // namespace th
