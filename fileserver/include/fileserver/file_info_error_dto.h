#pragma once

#include <QString>

// The error record a file server sends as the body of an error answer. Status 0
// means "no error" to the folder-list client.
class TFileInfoErrorDTO {
public:
    TFileInfoErrorDTO() = default;
    // Status first, then the texts: the order callers have always used.
    TFileInfoErrorDTO(qint32 AStatus, const QString& AError, const QString& ADetail)
        : FError(AError), FStatus(AStatus), FDetail(ADetail) {}

    const QString& Error() const { return FError; }
    void setError(const QString& AError) { FError = AError; }
    qint32 Status() const { return FStatus; }
    void setStatus(qint32 AStatus) { FStatus = AStatus; }
    const QString& Detail() const { return FDetail; }
    void setDetail(const QString& ADetail) { FDetail = ADetail; }

private:
    QString FError;
    qint32 FStatus = 0;
    QString FDetail;
};
