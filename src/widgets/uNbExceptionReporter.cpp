#include "uNbExceptionReporter.h"

#include "uNbCommonSettings.h"
#include "uNbHttp.h"
#include "uNbStackNames.h"
#include "uNbStackTrace.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QResizeEvent>
#include <QStyle>
#include <QUrl>

namespace {

constexpr int kClientWidth = 392;
constexpr int kClientHeight = 120;

QString Q(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

bool IsLoopbackHost(const QString& host) {
    if (host.compare(QStringLiteral("localhost"), Qt::CaseInsensitive) == 0 || host == QStringLiteral("::1")) return true;
    const QStringList parts = host.split(QLatin1Char('.'));
    if (parts.size() != 4 || parts[0] != QStringLiteral("127")) return false;
    for (const QString& p : parts) {
        bool ok = false;
        const int v = p.toInt(&ok);
        if (!ok || v < 0 || v > 255) return false;
    }
    return true;
}

}  // namespace

std::string NbReportSummary(std::string_view message) {
    std::string summary(message.substr(0, message.find('\r')));
    if (!summary.empty() && static_cast<unsigned char>(summary.back()) > '.') summary += '.';
    return summary;
}

std::string NbEncodeReportParam(std::string_view text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        const bool unreserved =
            (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || c == '~';
        if (unreserved) {
            out += ch;
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

std::string NbErrorReportBody(std::string_view message, std::string_view exeName, std::string_view appName, std::string_view appVersion,
                              std::string_view details) {
    return "Message=" + NbEncodeReportParam(message) + "&ExeName=" + NbEncodeReportParam(exeName) +
           "&AppName=" + NbEncodeReportParam(appName) + "&AppVersion=" + NbEncodeReportParam(appVersion) +
           "&Details=" + NbEncodeReportParam(details);
}

QString NbErrorReportTarget(const QString& baseUrl, std::string_view exeName) {
    QString base = baseUrl.trimmed();
    while (base.endsWith(QLatin1Char('/'))) base.chop(1);
    const QUrl url(base, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || url.hasQuery() || url.hasFragment()) return {};
    const QString scheme = url.scheme().toLower();
    if (scheme != QStringLiteral("https") && !(scheme == QStringLiteral("http") && IsLoopbackHost(url.host()))) return {};
    const auto slash = exeName.find_last_of('/');
    const std::string_view exeBase = slash == std::string_view::npos ? exeName : exeName.substr(slash + 1);
    return base + QStringLiteral("/error-report/?ExeBase=") + QString::fromLatin1(NbEncodeReportParam(exeBase));
}

TNbExceptionReporter::TNbExceptionReporter(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
    setObjectName(QStringLiteral("TNbExceptionReporter"));
    setWindowTitle(QStringLiteral("Error"));
    setSizeGripEnabled(false);

    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setAlignment(Qt::AlignCenter);
    lMessage = new QLabel(this);
    lMessage->setObjectName(QStringLiteral("lMessage"));
    lMessage->setWordWrap(true);
    lMessage->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    lMessage->setAutoFillBackground(true);
    lMessage->setTextFormat(Qt::PlainText);
    mMessage = new QPlainTextEdit(this);
    mMessage->setObjectName(QStringLiteral("mMessage"));
    mMessage->setReadOnly(true);
    mMessage->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    mMessage->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    mMessage->hide();
    cbReport = new QCheckBox(QStringLiteral("Report this problem to Merivane"), this);
    cbReport->setObjectName(QStringLiteral("cbReport"));
    cbReport->setChecked(true);
    bDetails = new QPushButton(QStringLiteral("Details >>"), this);
    bDetails->setObjectName(QStringLiteral("bDetails"));
    bDetails->setAutoDefault(false);
    bOk = new QPushButton(QStringLiteral("OK"), this);
    bOk->setObjectName(QStringLiteral("bOk"));
    bOk->setDefault(true);
    setTabOrder(mMessage, cbReport);
    setTabOrder(cbReport, bDetails);
    setTabOrder(bDetails, bOk);
    connect(bDetails, &QPushButton::clicked, this, [this] { bDetailsClick(); });
    connect(bOk, &QPushButton::clicked, this, [this] { accept(); });

    anchors_ = {{Image1, QRect(20, 23, 32, 36), true, true, false, true},     {lMessage, QRect(64, 8, 320, 67), true, true, true, true},
                {mMessage, QRect(8, 8, 376, 73), true, true, true, true},     {cbReport, QRect(8, 91, 214, 17), true, false, true, true},
                {bDetails, QRect(228, 87, 75, 25), false, false, true, true}, {bOk, QRect(309, 87, 75, 25), false, false, true, true}};
    for (const TAnchor& a : anchors_) a.control->setGeometry(a.designed);
    setMinimumSize(kClientWidth, kClientHeight);
    resize(kClientWidth, kClientHeight);
}

void TNbExceptionReporter::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    const int dw = width() - kClientWidth, dh = height() - kClientHeight;
    for (const TAnchor& a : anchors_) {
        QRect r = a.designed;
        if (a.right && a.left)
            r.setWidth(r.width() + dw);
        else if (a.right)
            r.moveLeft(r.left() + dw);
        if (a.bottom && a.top)
            r.setHeight(r.height() + dh);
        else if (a.bottom)
            r.moveTop(r.top() + dh);
        a.control->setGeometry(r);
    }
}

void TNbExceptionReporter::Fill() {
    lMessage->setText(Q(NbReportSummary(Message)));
    mMessage->setPlainText(Q(Message + "\r\n\r\n" + Details).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
}

void TNbExceptionReporter::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    FormShow();
}

void TNbExceptionReporter::FormShow() {
    const int size = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
    Image1->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning, nullptr, this).pixmap(qMin(size, 32)));
    cbReport->setChecked(NbReadUploadErrors());
}

void TNbExceptionReporter::bDetailsClick() {
    mMessage->show();
    lMessage->hide();
    bDetails->setEnabled(false);
    QSize client = size();
    if (client.height() < 150) client.setHeight(300);
    if (client.width() < 500) client.setWidth(600);
    resize(client);
}

void TNbExceptionReporter::done(int result) {
    if (!closed_) {
        closed_ = true;
        FormClose();
    }
    QDialog::done(result);
}

void TNbExceptionReporter::FormClose() {
    NbWriteUploadErrors(cbReport->isChecked());
    if (!cbReport->isChecked()) return;
    const QString url = NbErrorReportTarget(NbErrorReportUrl(), ExeName);
    if (url.isEmpty()) return;
    // Owned by the dialog's owner, so that the upload outlives the dialog; it frees itself when done.
    auto* http = new TNbHttp(parentWidget());
    http->OnDone = [](TNbHttp* sender) { HttpDone(sender); };
    http->Post(url,
               std::make_unique<QByteArray>(QByteArray::fromStdString(NbErrorReportBody(Message, ExeName, AppName, AppVersion, Details))));
}

void TNbExceptionReporter::HttpDone(TNbHttp* sender) { delete sender; }

namespace {

void ShowReporter(const std::string& exeName, const std::string& appName, const std::string& appVersion, const std::string& message,
                  const std::vector<void*>& frames, QWidget* owner) {
    TNbExceptionReporter dialog(owner);
    dialog.ExeName = exeName;
    dialog.AppName = appName;
    dialog.AppVersion = appVersion;
    dialog.Message = message;
    dialog.Details = NbFormatStackTrace(frames);
    dialog.Fill();
    dialog.exec();
}

}  // namespace

void NbReportException(const std::string& exeName, const std::string& appName, const std::string& appVersion, const std::exception& e,
                       QWidget* owner) {
    std::vector<void*> frames = NbExceptionStack(&e);
    if (frames.empty()) frames = NbLastExceptionStack();
    ShowReporter(exeName, appName, appVersion, e.what(), frames, owner);
}

void NbReportException(const std::string& exeName, const std::string& appName, const std::string& appVersion, const std::string& message,
                       QWidget* owner) {
    ShowReporter(exeName, appName, appVersion, message, NbLastExceptionStack(), owner);
}
