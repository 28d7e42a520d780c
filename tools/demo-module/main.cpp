#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QProcessEnvironment>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWidget>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    const QFileInfo self(QCoreApplication::applicationFilePath());
    const QString moduleName = self.fileName();

    // Lets scripts and tests see which module was started, and from where.
    const QString logPath = qEnvironmentVariable("QUORVIA_DEMO_LOG");
    if (!logPath.isEmpty()) {
        QFile log(logPath);
        if (log.open(QIODevice::Append | QIODevice::Text))
            log.write((moduleName + u' ' + QDir::currentPath() + u'\n').toUtf8());
    }
    if (qEnvironmentVariableIsSet("QUORVIA_DEMO_NO_WINDOW"))
        return 0;

    QWidget window;
    window.setWindowTitle(moduleName);
    auto* layout = new QVBoxLayout(&window);
    auto* title =
        new QLabel(QStringLiteral("Módulo iniciado: <b>%1</b>").arg(moduleName.toHtmlEscaped()));
    title->setTextFormat(Qt::RichText);
    layout->addWidget(title);
    layout->addWidget(new QLabel(QStringLiteral("Executável: %1").arg(self.absoluteFilePath())));
    layout->addWidget(new QLabel(
        QStringLiteral("Versão de %1")
            .arg(self.lastModified().toString(QStringLiteral("dd/MM/yyyy HH:mm:ss.zzz")))));
    auto* close = new QPushButton(QStringLiteral("&Fechar"));
    QObject::connect(close, &QPushButton::clicked, &window, &QWidget::close);
    layout->addWidget(close);
    window.resize(480, 160);
    window.show();
    return app.exec();
}
