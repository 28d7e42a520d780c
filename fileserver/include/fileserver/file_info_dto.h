#pragma once

#include "platform/datetime.h"

#include <QByteArray>
#include <QString>

// The file descriptor exchanged by the update engine and the file server: a name
// relative to a root folder (backslash separators) and its last-write time, and,
// where the listing says so, the size and SHA-256 of its bytes.
class TFileInfoDTO {
public:
    TFileInfoDTO() = default;
    TFileInfoDTO(const QString& AFileName, platform::TDateTime AAge)
        : FAge(AAge), FFileName(AFileName) {}
    TFileInfoDTO(const QString& AFileName, platform::TDateTime AAge, qint64 ASize,
                 const QByteArray& ASha256)
        : FAge(AAge), FSize(ASize), FFileName(AFileName), FSha256(ASha256) {}

    const QString& FileName() const { return FFileName; }
    void setFileName(const QString& AFileName) { FFileName = AFileName; }
    platform::TDateTime Age() const { return FAge; }
    void setAge(platform::TDateTime AAge) { FAge = AAge; }

    // The size in bytes, or -1 when the listing does not give it.
    qint64 Size() const { return FSize; }
    void setSize(qint64 ASize) { FSize = ASize; }
    // The 32 raw bytes of the SHA-256, or empty when the listing does not give it.
    const QByteArray& Sha256() const { return FSha256; }
    void setSha256(const QByteArray& ASha256) { FSha256 = ASha256; }

private:
    platform::TDateTime FAge = 0.0;
    qint64 FSize = -1;
    QString FFileName;
    QByteArray FSha256;
};
