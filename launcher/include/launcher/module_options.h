#pragma once

#include <QHash>
#include <QString>

class QObject;

// Which executable each module picture starts, and whether its update run also
// refreshes the shared support files. Keyed by the picture object itself, so two
// pictures with the same caption are still two entries. Does not own the pictures.
class TModuleOptions {
public:
    struct TModuleInfo {
        QString FModuleName;           // executable file name, relative to the installation folder
        bool FAdditionalFiles = false; // also refresh the shared support files

        static TModuleInfo Create(const QString& AModuleName, bool AAdditionalFiles);
    };

    // Throws platform::EListError when the picture is already registered.
    void AddModule(const QObject* APicture, const QString& AModuleName, bool AAdditionalFiles);

    // True and the entry when the picture is registered; false and an empty entry otherwise.
    bool TryGetModule(const QObject* APicture, TModuleInfo& AInfo) const;

    qsizetype count() const { return FModules.size(); }

private:
    QHash<const QObject*, TModuleInfo> FModules;
};
