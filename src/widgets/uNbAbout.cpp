#include "uNbAbout.h"

#include "uNbAppInfo.h"

#include <QGuiApplication>
#include <QImageReader>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>

namespace {

QPointer<QAction> g_featureRequest;
QPointer<QAction> g_webSite;

const char* const kCopyright = "Copyright \u00A9 2026 Merivane. All rights reserved.";
const char* const kDisclaimer =
    "This program is provided as is, without warranty of any kind.  You use it at your own risk.  "
    "Merivane is not liable for any loss of data, time or money arising from its use. "
    "Keep backups of your databases and review every statement before you run it on a server that matters.";
const char* const kWebAddress = "www.merivane.com";

// The banner, decoded from the embedded JPEG and scaled into the given box keeping its proportions,
// smoothly; white counts as transparent.
QPixmap Banner(const QSize& box) {
    QImageReader reader(QStringLiteral(":/NbWidgets/NbBanner.jpg"));
    QImage image = reader.read();
    if (image.isNull()) return {};
    image = image.scaled(box, Qt::KeepAspectRatio, Qt::SmoothTransformation).convertToFormat(QImage::Format_ARGB32);
    QPixmap pm = QPixmap::fromImage(image);
    pm.setMask(pm.createMaskFromColor(Qt::white));
    return pm;
}

}  // namespace

void NbSetAboutActions(QAction* featureRequest, QAction* webSite) {
    g_featureRequest = featureRequest;
    g_webSite = webSite;
}
QAction* NbAboutFeatureRequestAction() { return g_featureRequest; }
QAction* NbAboutWebSiteAction() { return g_webSite; }

QString NbAboutTitle() { return QString::fromStdString(NbAppShortName()) + QStringLiteral(" v") + QString::fromStdString(NbAppVersion()); }

TfNbAbout::TfNbAbout(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint) {
    setObjectName(QStringLiteral("TfNbAbout"));
    setWindowTitle(QStringLiteral("About"));
    // Designed at 96 dots per inch; larger screens scale every position, size and font.
    const QScreen* scr = owner && owner->screen() ? owner->screen() : QGuiApplication::primaryScreen();
    const double k = scr ? scr->logicalDotsPerInchY() / 96.0 : 1.0;
    auto px = [k](int v) { return qRound(v * k); };
    auto box = [&px](int x, int y, int w, int h) { return QRect(px(x), px(y), px(w), px(h)); };
    auto font = [&px](int pixels, bool bold) {
        QFont f(QStringLiteral("Arial"));
        f.setPixelSize(px(pixels));
        f.setBold(bold);
        return f;
    };
    auto colour = [](QWidget* w, const QColor& c) {
        QPalette p = w->palette();
        p.setColor(QPalette::WindowText, c);
        p.setColor(QPalette::ButtonText, c);
        w->setPalette(p);
    };

    setAutoFillBackground(true);
    QPalette p = palette();
    p.setColor(QPalette::Window, Qt::white);
    p.setColor(QPalette::WindowText, QColor(0, 0, 128));
    setPalette(p);
    setFont(font(12, false));
    setFixedSize(px(427), px(389));

    imgBanner = new QLabel(this);
    imgBanner->setObjectName(QStringLiteral("imgBanner"));
    imgBanner->setGeometry(box(0, 4, 421, 139));
    imgBanner->setAlignment(Qt::AlignCenter);
    imgBanner->setPixmap(Banner(imgBanner->size()));

    lAppName = new QLabel(this);
    lAppName->setObjectName(QStringLiteral("lAppName"));
    lAppName->setGeometry(box(8, 152, 411, 22));
    lAppName->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    lAppName->setFont(font(19, true));
    colour(lAppName, Qt::black);

    lCopyrightNotice = new QLabel(QString::fromUtf8(kCopyright), this);
    lCopyrightNotice->setObjectName(QStringLiteral("lCopyrightNotice"));
    lCopyrightNotice->setGeometry(box(8, 186, 411, 15));
    lCopyrightNotice->setAlignment(Qt::AlignHCenter | Qt::AlignTop);

    lDisclaimer = new QLabel(QString::fromLatin1(kDisclaimer), this);
    lDisclaimer->setObjectName(QStringLiteral("lDisclaimer"));
    lDisclaimer->setGeometry(box(20, 218, 379, 72));
    lDisclaimer->setWordWrap(true);
    lDisclaimer->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    lDisclaimer->setFont(font(9, false));

    lURL = new QLabel(QString::fromLatin1(kWebAddress), this);
    lURL->setObjectName(QStringLiteral("lURL"));
    lURL->setGeometry(box(138, 304, 147, 15));
    lURL->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    QFont underlined = font(12, false);
    underlined.setUnderline(true);
    lURL->setFont(underlined);
    colour(lURL, Qt::blue);
    lURL->setCursor(Qt::PointingHandCursor);
    lURL->installEventFilter(this);

    bAboutAction = new QPushButton(this);
    bAboutAction->setObjectName(QStringLiteral("bAboutAction"));
    bAboutAction->setGeometry(box(8, 354, 173, 25));
    bAboutAction->setAutoDefault(false);
    colour(bAboutAction, Qt::black);
    connect(bAboutAction, &QPushButton::clicked, this, [this] {
        if (boundAction_) boundAction_->trigger();
    });
    bOk = new QPushButton(QStringLiteral("OK"), this);
    bOk->setObjectName(QStringLiteral("bOk"));
    bOk->setGeometry(box(344, 354, 75, 25));
    bOk->setDefault(true);
    colour(bOk, Qt::black);
    connect(bOk, &QPushButton::clicked, this, [this] { accept(); });
    setTabOrder(bOk, bAboutAction);
}

void TfNbAbout::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    FormShow();
}

void TfNbAbout::FormShow() {
    lAppName->setText(NbAboutTitle());
    boundAction_ = NbAboutFeatureRequestAction();
    if (boundAction_) {
        bAboutAction->setText(boundAction_->text());
        bAboutAction->setToolTip(boundAction_->toolTip());
        bAboutAction->show();
    } else {
        bAboutAction->hide();
    }
    bOk->setFocus();
}

void TfNbAbout::lURLClick() {
    if (QAction* a = NbAboutWebSiteAction()) a->trigger();
}

bool TfNbAbout::eventFilter(QObject* watched, QEvent* event) {
    if (watched == lURL && event->type() == QEvent::MouseButtonRelease && static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        lURLClick();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

TNbAboutAction::TNbAboutAction(QObject* owner) : QAction(QStringLiteral("&About..."), owner) {
    setObjectName(QStringLiteral("NbAboutAction1"));
    setToolTip(QStringLiteral("Copyright and other information."));
    setStatusTip(toolTip());
    connect(this, &QAction::triggered, this, [this] { Execute(); });
}

void TNbAboutAction::Execute() {
    TfNbAbout about(qobject_cast<QWidget*>(parent()));
    about.exec();
}
