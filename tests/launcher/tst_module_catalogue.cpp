#include "launcher/frm_menu.h"
#include "launcher/module_options.h"
#include "launcher/picture.h"

#include "platform/errors.h"

#include <QTemporaryDir>
#include <QtTest>

class ModuleCatalogueTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void lookupOfUnregisteredPictureGivesEmptyEntry();
    void duplicatePictureIsRejected();
    void pictureIdentityNotCaptionIsTheKey();
    void panelRegistersEveryModule_data();
    void panelRegistersEveryModule();
    void picturesOutsideTheCatalogue_data();
    void picturesOutsideTheCatalogue();

private:
    QTemporaryDir m_installFolder;
    std::unique_ptr<TFrmMenu> m_panel;
};

void ModuleCatalogueTest::initTestCase() {
    QVERIFY(m_installFolder.isValid());
    m_panel = std::make_unique<TFrmMenu>(m_installFolder.path());
}

void ModuleCatalogueTest::lookupOfUnregisteredPictureGivesEmptyEntry() {
    TModuleOptions options;
    QObject registered;
    QObject other;
    options.AddModule(&registered, QStringLiteral("Billing.exe"), true);

    // Start from a filled record: a failed lookup must clear it, not leave it.
    TModuleOptions::TModuleInfo info =
        TModuleOptions::TModuleInfo::Create(QStringLiteral("x"), true);
    QVERIFY(!options.TryGetModule(&other, info));
    QCOMPARE(info.FModuleName, QString());
    QCOMPARE(info.FAdditionalFiles, false);
}

void ModuleCatalogueTest::duplicatePictureIsRejected() {
    TModuleOptions options;
    QObject picture;
    options.AddModule(&picture, QStringLiteral("Costs.exe"), true);
    QVERIFY_THROWS_EXCEPTION(platform::EListError,
                             options.AddModule(&picture, QStringLiteral("Other.exe"), false));
    // The first entry survives the rejected one.
    TModuleOptions::TModuleInfo info;
    QVERIFY(options.TryGetModule(&picture, info));
    QCOMPARE(info.FModuleName, QStringLiteral("Costs.exe"));
    QCOMPARE(info.FAdditionalFiles, true);
    QCOMPARE(options.count(), 1);
}

void ModuleCatalogueTest::pictureIdentityNotCaptionIsTheKey() {
    TModuleOptions options;
    TImage first;
    TImage second;
    first.setObjectName(QStringLiteral("imgSame"));
    second.setObjectName(QStringLiteral("imgSame"));
    first.setText(QStringLiteral("Faturamento"));
    second.setText(QStringLiteral("Faturamento"));
    options.AddModule(&first, QStringLiteral("Billing.exe"), true);
    options.AddModule(&second, QStringLiteral("Supremo.exe"), false);
    QCOMPARE(options.count(), 2);

    TModuleOptions::TModuleInfo info;
    QVERIFY(options.TryGetModule(&first, info));
    QCOMPARE(info.FModuleName, QStringLiteral("Billing.exe"));
    QVERIFY(options.TryGetModule(&second, info));
    QCOMPARE(info.FModuleName, QStringLiteral("Supremo.exe"));
    QCOMPARE(info.FAdditionalFiles, false);
}

void ModuleCatalogueTest::panelRegistersEveryModule_data() {
    QTest::addColumn<QString>("picture");
    QTest::addColumn<QString>("module");
    QTest::addColumn<bool>("additionalFiles");

    QTest::newRow("1") << "imgAdmSistema"
                       << "SysAdmin.exe" << true;
    QTest::newRow("2") << "imgCadGeral"
                       << "Registry.exe" << true;
    QTest::newRow("3") << "imgAgendaConsulta"
                       << "Appointments.exe" << true;
    QTest::newRow("4") << "imgProntuario"
                       << "Prescriptions.exe" << true;
    QTest::newRow("5") << "imgFaturamento"
                       << "Billing.exe" << true;
    QTest::newRow("6") << "imgSame"
                       << "Archive.exe" << true;
    QTest::newRow("7") << "imgAtendimento"
                       << "Emergency.exe" << true;
    QTest::newRow("8") << "imgExames"
                       << "Exams.exe" << true;
    QTest::newRow("9") << "imgEstoque"
                       << "Inventory.exe" << true;
    QTest::newRow("10") << "imgCentroCirurgico"
                        << "SurgerySchedule.exe" << true;
    QTest::newRow("11") << "imgControEquip"
                        << "Equipment.exe" << true;
    QTest::newRow("12") << "imgCompras"
                        << "Purchasing.exe" << true;
    QTest::newRow("13") << "imgFinanceiro"
                        << "Finance.exe" << true;
    QTest::newRow("14") << "imgCustos"
                        << "Costs.exe" << true;
    QTest::newRow("15") << "imgGlosas"
                        << "Denials.exe" << true;
    QTest::newRow("16") << "imgSuporteRemoto1"
                        << "TeamViewerQS_pt.exe" << false;
    QTest::newRow("17") << "imgSuporteRemoto2"
                        << "Supremo.exe" << false;
}

void ModuleCatalogueTest::panelRegistersEveryModule() {
    QFETCH(QString, picture);
    QFETCH(QString, module);
    QFETCH(bool, additionalFiles);

    const auto* image = m_panel->findChild<TImage*>(picture, Qt::FindDirectChildrenOnly);
    QVERIFY2(image != nullptr, qPrintable(picture));
    TModuleOptions::TModuleInfo info;
    QVERIFY(m_panel->moduleOptions().TryGetModule(image, info));
    QCOMPARE(info.FModuleName, module);
    QCOMPARE(info.FAdditionalFiles, additionalFiles);
    QCOMPARE(m_panel->moduleOptions().count(), 17);
}

void ModuleCatalogueTest::picturesOutsideTheCatalogue_data() {
    QTest::addColumn<QString>("picture");
    QTest::newRow("e-mail") << "imgEmail";
    QTest::newRow("contact") << "imgAeC";
    QTest::newRow("background") << "Image1";
}

void ModuleCatalogueTest::picturesOutsideTheCatalogue() {
    QFETCH(QString, picture);
    const auto* image = m_panel->findChild<TImage*>(picture, Qt::FindDirectChildrenOnly);
    QVERIFY(image != nullptr);
    TModuleOptions::TModuleInfo info;
    QVERIFY(!m_panel->moduleOptions().TryGetModule(image, info));
    QVERIFY(info.FModuleName.isEmpty());
}

QTEST_MAIN(ModuleCatalogueTest)
#include "tst_module_catalogue.moc"
