#include "launcher/activity_indicator.h"
#include "launcher/contacts.h"
#include "launcher/error_box.h"
#include "launcher/frm_menu.h"
#include "launcher/picture.h"
#include "launcher/support_mail.h"

#include "platform/paths.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QDir>
#include <QFile>
#include <QFrame>
#include <QLabel>
#include <QMenu>
#include <QScopeGuard>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include "launcher_test_support.h"

using launcher_test::ErrorBoxRecorder;
using launcher_test::writeFile;

namespace {

// The panel's own widgets (not its menus), bottom to top.
QList<QWidget*> stackedChildren(const QWidget& panel) {
    QList<QWidget*> result;
    for (QObject* child : panel.children()) {
        auto* widget = qobject_cast<QWidget*>(child);
        if (widget != nullptr && !widget->isWindow())
            result.append(widget);
    }
    return result;
}

} // namespace

class PanelWindowTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void windowIsFixedCentredAndCaptioned();
    void components_data();
    void components();
    void picturesShowWithoutStretching_data();
    void picturesShowWithoutStretching();
    void picturelessSpotsShowTheBackground_data();
    void picturelessSpotsShowTheBackground();
    void hitTestingWhileWaitingPanelShows_data();
    void hitTestingWhileWaitingPanelShows();
    void hintTexts();
    void waitingPanelAtFirstShow();
    void contextMenuItems();
    void clickSelectsModuleExecutable_data();
    void clickSelectsModuleExecutable();
    void clickOnNonModulePicturesSelectsNothing();
    void settingsAreRead_data();
    void settingsAreRead();
    void reportFolder_data();
    void reportFolder();
    void closingMinimisesAndKeepsRunning();
    void restoreItemBringsWindowBack();
    void closeItemEndsTheEventLoop();
    void trayIconFollowsAvailability();
    void activityIndicatorStillUntilAnimated();

private:
    std::unique_ptr<QTemporaryDir> m_installFolder;
    std::unique_ptr<ErrorBoxRecorder> m_errorBoxes;
    std::unique_ptr<TFrmMenu> m_panel;
};

void PanelWindowTest::initTestCase() {
    QCoreApplication::setApplicationName(QStringLiteral("Quorvia Arvento"));
}

void PanelWindowTest::init() {
    m_installFolder = std::make_unique<QTemporaryDir>();
    QVERIFY(m_installFolder->isValid());
    m_errorBoxes = std::make_unique<ErrorBoxRecorder>();
    m_panel = std::make_unique<TFrmMenu>(m_installFolder->path());
}

void PanelWindowTest::cleanup() {
    m_panel.reset();
    m_errorBoxes.reset();
    m_installFolder.reset();
}

void PanelWindowTest::windowIsFixedCentredAndCaptioned() {
    QCOMPARE(m_panel->size(), QSize(1018, 662));
    QCOMPARE(m_panel->minimumSize(), QSize(1018, 662));
    QCOMPARE(m_panel->maximumSize(), QSize(1018, 662));
    QVERIFY(!(m_panel->windowFlags() & Qt::WindowMaximizeButtonHint));
    QCOMPARE(m_panel->windowTitle(), QStringLiteral("Quorvia Orbel [2022.01.00]"));
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    const QPoint offset = m_panel->geometry().center() - screen.center();
    QVERIFY2(qAbs(offset.x()) <= 1 && qAbs(offset.y()) <= 1, "window not centred on the screen");
    QVERIFY(m_errorBoxes->calls.isEmpty());
}

void PanelWindowTest::components_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<int>("stackIndex");
    QTest::addColumn<bool>("handCursor");
    QTest::addColumn<bool>("contextMenu");
    QTest::addColumn<bool>("hint");
    QTest::addColumn<QSize>("pictureSize"); // empty: no picture
    QTest::addColumn<bool>("centred");

    struct Row {
        const char* name;
        QRect geometry;
        bool hand, menu, hint;
        QSize picture;
        bool centred;
    };
    const Row rows[] = {
        {"Image1", {0, 0, 1018, 662}, false, true, false, {1024, 768}, true},
        {"imgProntuario", {517, 116, 474, 66}, true, true, false, {489, 92}, true},
        {"imgAgendaConsulta", {33, 114, 465, 68}, true, true, false, {487, 86}, true},
        {"imgEstoque", {415, 316, 186, 110}, true, true, false, {193, 128}, true},
        {"imgSame", {517, 210, 471, 66}, true, true, false, {489, 92}, true},
        {"imgCompras", {127, 447, 178, 110}, true, true, false, {194, 127}, true},
        {"imgExames", {223, 315, 186, 111}, true, true, false, {193, 126}, true},
        {"imgFinanceiro", {318, 447, 180, 113}, true, true, false, {189, 129}, true},
        {"imgFaturamento", {31, 210, 466, 69}, true, true, false, {489, 92}, true},
        {"imgSuporteRemoto1", {688, 601, 51, 41}, true, true, false, {}, false},
        {"imgSuporteRemoto2", {809, 595, 48, 47}, true, true, false, {}, false},
        {"imgEmail", {930, 587, 51, 38}, true, true, true, {}, false},
        {"imgAdmSistema", {223, 605, 194, 32}, true, true, false, {195, 32}, false},
        {"imgCadGeral", {51, 605, 143, 30}, true, true, false, {146, 30}, false},
        {"imgAeC", {331, 8, 349, 100}, true, false, true, {}, false},
        {"imgAtendimento", {31, 315, 178, 111}, true, true, false, {193, 125}, true},
        {"imgCustos", {517, 447, 180, 113}, true, true, false, {194, 134}, true},
        {"imgCentroCirurgico", {607, 315, 182, 110}, true, true, false, {193, 132}, true},
        {"imgGlosas", {717, 447, 173, 113}, true, true, false, {201, 129}, true},
        {"imgControEquip", {809, 315, 182, 110}, true, true, false, {190, 127}, true},
    };
    int index = 0;
    for (const Row& row : rows) {
        QTest::newRow(row.name) << QString::fromLatin1(row.name) << row.geometry << index++
                                << row.hand << row.menu << row.hint << row.picture << row.centred;
    }
}

void PanelWindowTest::components() {
    QFETCH(QString, name);
    QFETCH(QRect, geometry);
    QFETCH(int, stackIndex);
    QFETCH(bool, handCursor);
    QFETCH(bool, contextMenu);
    QFETCH(bool, hint);
    QFETCH(QSize, pictureSize);
    QFETCH(bool, centred);

    auto* picture = m_panel->findChild<TImage*>(name, Qt::FindDirectChildrenOnly);
    QVERIFY2(picture != nullptr, qPrintable(name));
    QCOMPARE(picture->geometry(), geometry);

    const QList<QWidget*> stack = stackedChildren(*m_panel);
    QCOMPARE(stack.indexOf(picture), stackIndex);
    // The waiting panel lies above every picture.
    QCOMPARE(stack.last(), static_cast<QWidget*>(m_panel->pnlTemporizador));

    QCOMPARE(picture->cursor().shape(), handCursor ? Qt::PointingHandCursor : Qt::ArrowCursor);
    QCOMPARE(!picture->toolTip().isEmpty(), hint);

    if (pictureSize.isEmpty()) {
        QVERIFY(picture->pixmap().isNull());
    } else {
        QCOMPARE(picture->pixmap().size(), pictureSize);
        QCOMPARE(picture->isCentred(), centred);
    }
    QVERIFY(!picture->hasScaledContents());

    // A right click opens the panel's menu, except where the picture has none.
    QVERIFY(!m_panel->PopupMenu->isVisible());
    const QPoint inside = picture->rect().center();
    QContextMenuEvent event(QContextMenuEvent::Mouse, inside, picture->mapToGlobal(inside));
    QApplication::sendEvent(picture, &event);
    QCOMPARE(m_panel->PopupMenu->isVisible(), contextMenu);
    m_panel->PopupMenu->hide();
}

void PanelWindowTest::picturesShowWithoutStretching_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QPoint>("pictureOffset"); // where the box's top-left lies in the picture

    QTest::newRow("background centred") << "Image1" << QPoint(3, 53);
    QTest::newRow("wide button centred") << "imgProntuario" << QPoint(7, 13);
    QTest::newRow("tile centred") << "imgGlosas" << QPoint(14, 8);
    QTest::newRow("footer label from the corner") << "imgCadGeral" << QPoint(0, 0);
}

void PanelWindowTest::picturesShowWithoutStretching() {
    QFETCH(QString, name);
    QFETCH(QPoint, pictureOffset);

    auto* picture = m_panel->findChild<TImage*>(name, Qt::FindDirectChildrenOnly);
    QVERIFY(picture != nullptr);
    const QImage shown = picture->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QImage source = picture->pixmap().toImage().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(shown.size(), picture->size());
    int mismatches = 0;
    for (int y = 0; y < shown.height(); y += 3) {
        for (int x = 0; x < shown.width(); x += 3) {
            if (shown.pixel(x, y) != source.pixel(x + pictureOffset.x(), y + pictureOffset.y()))
                ++mismatches;
        }
    }
    QCOMPARE(mismatches, 0);
}

void PanelWindowTest::picturelessSpotsShowTheBackground_data() {
    QTest::addColumn<QString>("name");
    QTest::newRow("remote support 1") << "imgSuporteRemoto1";
    QTest::newRow("remote support 2") << "imgSuporteRemoto2";
    QTest::newRow("e-mail") << "imgEmail";
    QTest::newRow("contact") << "imgAeC";
}

void PanelWindowTest::picturelessSpotsShowTheBackground() {
    QFETCH(QString, name);
    auto* spot = m_panel->findChild<TImage*>(name, Qt::FindDirectChildrenOnly);
    QVERIFY(spot != nullptr);
    // The window as drawn, against the background picture alone, over the spot.
    const QImage window =
        m_panel->grab(spot->geometry()).toImage().convertToFormat(QImage::Format_RGB32);
    const QImage background =
        m_panel->Image1->grab(spot->geometry()).toImage().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(window.size(), spot->size());
    QVERIFY(window == background);
    // And the background there is not a flat fill: the spot lies over its drawing.
    QVERIFY(background.pixel(0, 0) !=
                background.pixel(background.width() / 2, background.height() / 2) ||
            background.pixel(1, background.height() - 2) !=
                background.pixel(background.width() / 2, background.height() / 2));
}

void PanelWindowTest::hitTestingWhileWaitingPanelShows_data() {
    QTest::addColumn<QPoint>("point");
    QTest::addColumn<QString>("expected");

    QTest::newRow("stock tile lies under the panel") << QPoint(508, 371) << "pnlTemporizador";
    QTest::newRow("exams tile left of the panel") << QPoint(250, 370) << "imgExames";
    QTest::newRow("surgery tile right of the panel") << QPoint(700, 370) << "imgCentroCirurgico";
    QTest::newRow("background") << QPoint(10, 300) << "Image1";
    QTest::newRow("contact spot") << QPoint(400, 50) << "imgAeC";
    QTest::newRow("remote support 2") << QPoint(830, 615) << "imgSuporteRemoto2";
}

void PanelWindowTest::hitTestingWhileWaitingPanelShows() {
    QFETCH(QPoint, point);
    QFETCH(QString, expected);

    m_panel->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_panel.get()));
    QWidget* hit = m_panel->childAt(point);
    QVERIFY(hit != nullptr);
    // Inside the waiting panel the hit may be one of its children.
    while (hit->parentWidget() != m_panel.get())
        hit = hit->parentWidget();
    QCOMPARE(hit->objectName(), expected);
}

void PanelWindowTest::hintTexts() {
    QCOMPARE(m_panel->imgEmail->toolTip(),
             QStringLiteral("e-mail : ") + launcher::contacts::supportEmail());
    QCOMPARE(m_panel->imgAeC->toolTip(),
             QStringLiteral("Telefone : ") + launcher::contacts::telephone() +
                 QStringLiteral("\r\n") + launcher::contacts::salesEmail());
    QVERIFY(launcher::contacts::supportEmail().contains(u'@'));
    QVERIFY(launcher::contacts::salesEmail().contains(u'@'));
}

void PanelWindowTest::waitingPanelAtFirstShow() {
    QVERIFY(!m_panel->Timer1->isActive());
    m_panel->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_panel.get()));

    QFrame* panel = m_panel->pnlTemporizador;
    QVERIFY(panel->isVisible());
    QCOMPARE(panel->geometry(), QRect(302, 285, 369, 143));
    QVERIFY(panel->autoFillBackground());
    QCOMPARE(panel->palette().color(QPalette::Window), QColor(31, 136, 214));
    QCOMPARE(panel->cursor().shape(), Qt::BusyCursor);
    QCOMPARE(m_panel->Label1->cursor().shape(), Qt::BusyCursor);
    QCOMPARE(m_panel->aciTemporizador->cursor().shape(), Qt::BusyCursor);

    QCOMPARE(m_panel->Label1->parentWidget(), panel);
    QCOMPARE(m_panel->Label1->text(), QStringLiteral("Aguarde Atualizando"));
    const QRect labelBox = m_panel->Label1->geometry();
    QCOMPARE(labelBox.topLeft(), QPoint(43, 67));
    QCOMPARE(labelBox.height(), 37);
    // At least its designed width, and wide enough for the whole caption inside the panel.
    QVERIFY(labelBox.width() >= 271);
    QVERIFY(labelBox.width() >=
            m_panel->Label1->fontMetrics().horizontalAdvance(m_panel->Label1->text()));
    QVERIFY(panel->rect().contains(labelBox));
    QCOMPARE(m_panel->Label1->font().pixelSize(), 27);
    QVERIFY(m_panel->Label1->font().bold());
    QCOMPARE(m_panel->Label1->palette().color(QPalette::WindowText), QColor(Qt::white));
    // The panel's colour shows behind the label, not the label's own.
    const QImage label = m_panel->Label1->grab().toImage();
    QCOMPARE(QColor(label.pixel(1, 1)), QColor(31, 136, 214));

    TActivityIndicator* indicator = m_panel->aciTemporizador;
    QCOMPARE(indicator->parentWidget(), panel);
    QCOMPARE(indicator->pos(), QPoint(159, 19));
    QCOMPARE(indicator->indicatorSize(), TActivityIndicator::Size::Large);
    QCOMPARE(indicator->indicatorColor(), QColor(Qt::white));
    QCOMPARE(indicator->frameDelay(), 30);
    QVERIFY(!indicator->animate());

    // Showing arms the one-shot start-up timer; its handler disarms it.
    QVERIFY(m_panel->Timer1->isActive());
    QVERIFY(m_panel->Timer1->isSingleShot());
    QCOMPARE(m_panel->Timer1->interval(), 200);
    m_panel->Timer1Timer();
    QVERIFY(!m_panel->Timer1->isActive());
}

void PanelWindowTest::contextMenuItems() {
    const QList<QAction*> actions = m_panel->PopupMenu->actions();
    QCOMPARE(actions.size(), 3);
    QCOMPARE(actions[0]->objectName(), QStringLiteral("AbreoSistemadeGesttoHospitalar1"));
    QCOMPARE(actions[0]->text(), QStringLiteral("Abre o Sistema de Gesttão Hospitalar"));
    QCOMPARE(actions[1]->objectName(), QStringLiteral("N1"));
    QVERIFY(actions[1]->isSeparator());
    QCOMPARE(actions[2]->objectName(), QStringLiteral("FechaoSistemadeGesttoHospitalar1"));
    QCOMPARE(actions[2]->text(), QStringLiteral("Fecha o Sistema de Gesttão Hospitalar"));
}

void PanelWindowTest::clickSelectsModuleExecutable_data() {
    QTest::addColumn<QString>("picture");
    QTest::addColumn<QString>("module");

    QTest::newRow("records") << "imgProntuario"
                             << "Prescriptions.exe";
    QTest::newRow("stock, under the waiting panel") << "imgEstoque"
                                                    << "Inventory.exe";
    QTest::newRow("footer label") << "imgCadGeral"
                                  << "Registry.exe";
    QTest::newRow("remote support 1") << "imgSuporteRemoto1"
                                      << "TeamViewerQS_pt.exe";
    QTest::newRow("remote support 2") << "imgSuporteRemoto2"
                                      << "Supremo.exe";
}

void PanelWindowTest::clickSelectsModuleExecutable() {
    QFETCH(QString, picture);
    QFETCH(QString, module);

    auto* image = m_panel->findChild<TImage*>(picture, Qt::FindDirectChildrenOnly);
    QVERIFY(image != nullptr);
    QVERIFY(m_panel->selectedModule().isEmpty());
    QTest::mouseClick(image, Qt::LeftButton, {}, image->rect().center());
    QCOMPARE(m_panel->selectedModule(),
             platform::withTrailingSeparator(m_installFolder->path()) + module);
    QVERIFY(m_errorBoxes->calls.isEmpty());
}

void PanelWindowTest::clickOnNonModulePicturesSelectsNothing() {
    // The envelope opens the support mail instead; stand in for the mail program.
    int mails = 0;
    const MailSender previous = supportMailSender();
    supportMailSender() = [&](const QString&) {
        ++mails;
        return 0u;
    };
    const auto restore = qScopeGuard([&] { supportMailSender() = previous; });
    for (TImage* image : {m_panel->Image1, m_panel->imgEmail, m_panel->imgAeC}) {
        QTest::mouseClick(image, Qt::LeftButton, {}, image->rect().center());
        QVERIFY2(m_panel->selectedModule().isEmpty(), qPrintable(image->objectName()));
    }
    // A press released outside the picture is no click.
    TImage* image = m_panel->imgGlosas;
    QTest::mousePress(image, Qt::LeftButton, {}, QPoint(5, 5));
    QTest::mouseRelease(image, Qt::LeftButton, {}, QPoint(image->width() + 20, 5));
    QVERIFY(m_panel->selectedModule().isEmpty());
    QCOMPARE(mails, 1);
}

void PanelWindowTest::settingsAreRead_data() {
    QTest::addColumn<QByteArray>("ini"); // empty: no settings file
    QTest::addColumn<QString>("remotePath");
    QTest::addColumn<QString>("url");

    QTest::newRow("no settings file") << QByteArray() << QString() << QString();
    QTest::newRow("share without separator")
        << QByteArray("[Servidor]\r\nLocal Exe=/srv/central\r\n") << "/srv/central/" << QString();
    QTest::newRow("share with separator")
        << QByteArray("[Servidor]\r\nLocal Exe=/srv/central/\r\n") << "/srv/central/" << QString();
    QTest::newRow("network share kept intact")
        << QByteArray("[servidor]\r\nlocal exe=  \\\\srv\\share\\Quorvia\\ \r\n")
        << "\\\\srv\\share\\Quorvia\\" << QString();
    QTest::newRow("server address") << QByteArray("[Servidor]\r\nurl=http://127.0.0.1:8080/api\r\n")
                                    << QString() << "http://127.0.0.1:8080/api";
    QTest::newRow("blank address and share")
        << QByteArray("[Servidor]\r\nLocal Exe=   \r\nurl=   \r\n") << QString() << QString();
    QTest::newRow("both, other section ignored")
        << QByteArray("[Outro]\r\nurl=http://wrong\r\n[Servidor]\r\nurl=http://right\r\nLocal "
                      "Exe=/srv/c\r\n")
        << "/srv/c/"
        << "http://right";
}

void PanelWindowTest::settingsAreRead() {
    QFETCH(QByteArray, ini);
    QFETCH(QString, remotePath);
    QFETCH(QString, url);

    if (!ini.isEmpty())
        writeFile(QDir(m_installFolder->path()).filePath(QStringLiteral("Quorvia.ini")), ini);
    const TFrmMenu panel(m_installFolder->path());
    QCOMPARE(panel.remotePath(), remotePath);
    QCOMPARE(panel.url(), url);
    QCOMPARE(panel.localPath(), m_installFolder->path() + u'/');
    QCOMPARE(panel.windowTitle(), QStringLiteral("Quorvia Orbel [2022.01.00]"));
    QVERIFY(!panel.closingRequested());
}

void PanelWindowTest::reportFolder_data() {
    QTest::addColumn<QString>("inTheWay"); // "", "folder", "file", "link to folder"
    QTest::addColumn<int>("errorBoxes");

    QTest::newRow("missing: created") << "" << 0;
    QTest::newRow("already there") << "folder" << 0;
    QTest::newRow("link to a folder counts") << "link to folder" << 0;
    QTest::newRow("a file in the way") << "file" << 1;
}

void PanelWindowTest::reportFolder() {
    QFETCH(QString, inTheWay);
    QFETCH(int, errorBoxes);

    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QDir dir(folder.path());
    const QString report = dir.filePath(QStringLiteral("Relatorio"));
    if (inTheWay == u"folder") {
        QVERIFY(dir.mkdir(QStringLiteral("Relatorio")));
        writeFile(dir.filePath(QStringLiteral("Relatorio/keep.txt")), "kept");
    } else if (inTheWay == u"file") {
        writeFile(report, "not a folder");
    } else if (inTheWay == u"link to folder") {
        QVERIFY(dir.mkdir(QStringLiteral("elsewhere")));
        QVERIFY(QFile::link(dir.filePath(QStringLiteral("elsewhere")), report));
    }

    m_errorBoxes->calls.clear();
    const TFrmMenu panel(folder.path());

    QCOMPARE(m_errorBoxes->calls.size(), errorBoxes);
    if (errorBoxes > 0) {
        QCOMPARE(m_errorBoxes->calls[0].title, QStringLiteral("Quorvia Arvento"));
        QCOMPARE(m_errorBoxes->calls[0].text,
                 QStringLiteral("Não Criou o Diretório Relatorio. Contacte o Quorvia."));
        // The file stays as it was and the panel still opened with its settings read.
        QVERIFY(QFileInfo(report).isFile());
        QCOMPARE(panel.windowTitle(), QStringLiteral("Quorvia Orbel [2022.01.00]"));
        QCOMPARE(panel.localPath(), folder.path() + u'/');
    } else {
        QVERIFY(QFileInfo(report).isDir());
    }
    if (inTheWay == u"folder")
        QVERIFY(QFile::exists(dir.filePath(QStringLiteral("Relatorio/keep.txt"))));
    QCOMPARE(QFileInfo(report).isSymLink(), inTheWay == u"link to folder");
}

void PanelWindowTest::closingMinimisesAndKeepsRunning() {
    m_panel->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_panel.get()));
    QVERIFY(!m_panel->close());
    QVERIFY(m_panel->isMinimized());
    QVERIFY(m_panel->isVisible());
    QVERIFY(!m_panel->closingRequested());
    // A second close while minimised changes nothing either.
    QVERIFY(!m_panel->close());
    QVERIFY(m_panel->isVisible());
}

void PanelWindowTest::restoreItemBringsWindowBack() {
    m_panel->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_panel.get()));
    m_panel->showMinimized();
    QVERIFY(m_panel->isMinimized());
    m_panel->AbreoSistemadeGesttoHospitalar1->trigger();
    QVERIFY(!m_panel->isMinimized());
    QVERIFY(m_panel->isVisible());
    // On a window that is not minimised it only brings it to the front.
    m_panel->AbreoSistemadeGesttoHospitalar1->trigger();
    QVERIFY(!m_panel->isMinimized());
    QVERIFY(m_panel->isVisible());
}

void PanelWindowTest::closeItemEndsTheEventLoop() {
    m_panel->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_panel.get()));
    QTimer::singleShot(0, m_panel.get(),
                       [this] { m_panel->FechaoSistemadeGesttoHospitalar1->trigger(); });
    // Guard only: without the close item's quit the loop would run on.
    QTimer guard;
    guard.setSingleShot(true);
    connect(&guard, &QTimer::timeout, qApp, [] { QCoreApplication::exit(99); });
    guard.start(30'000);
    const int result = QCoreApplication::exec();
    guard.stop();
    QCOMPARE(result, 0);
    QVERIFY(m_panel->closingRequested());
    QVERIFY(!m_panel->isVisible());
}

void PanelWindowTest::trayIconFollowsAvailability() {
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        QVERIFY(m_panel->TrayIconCriado);
        QVERIFY(m_panel->trayIcon() != nullptr);
        QCOMPARE(m_panel->trayIcon()->toolTip(), QStringLiteral("Quorvia Arvento"));
    } else {
        // Without a notification area the launcher works on without an icon.
        QVERIFY(!m_panel->TrayIconCriado);
        QVERIFY(m_panel->trayIcon() == nullptr);
        m_panel->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_panel.get()));
    }
}

void PanelWindowTest::activityIndicatorStillUntilAnimated() {
    TActivityIndicator indicator;
    indicator.setIndicatorSize(TActivityIndicator::Size::Large);
    QCOMPARE(indicator.size(), QSize(48, 48));
    QVERIFY(!indicator.animate());
    indicator.setAnimate(true);
    QVERIFY(indicator.animate());
    const int before = indicator.frame();
    indicator.advance();
    QCOMPARE(indicator.frame(), (before + 1) % TActivityIndicator::FrameCount);
    indicator.setAnimate(false);
    QVERIFY(!indicator.animate());
    // Frames wrap around.
    for (int i = 0; i < TActivityIndicator::FrameCount; ++i)
        indicator.advance();
    QCOMPARE(indicator.frame(), (before + 1) % TActivityIndicator::FrameCount);
}

QTEST_MAIN(PanelWindowTest)
#include "tst_panel_window.moc"
