#pragma once

#include "platform/datetime.h"

#include <QString>

// The file descriptor exchanged by the update engine and the file server: a name
// relative to a root folder (backslash separators) and its last-write time.
class TFileInfoDTO {
public:
    TFileInfoDTO() = default;
    TFileInfoDTO(const QString& AFileName, platform::TDateTime AAge)
        : FAge(AAge), FFileName(AFileName) {}

    const QString& FileName() const { return FFileName; }
    void setFileName(const QString& AFileName) { FFileName = AFileName; }
    platform::TDateTime Age() const { return FAge; }
    void setAge(platform::TDateTime AAge) { FAge = AAge; }

private:
    platform::TDateTime FAge = 0.0;
    QString FFileName;
};
