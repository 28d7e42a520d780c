#pragma once

#include "platform/datetime.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <functional>
#include <memory>

// What fresh content must be, as far as the central copy says.
struct TExpectedContent {
    qint64 size = -1;  // bytes; -1 when not known
    QByteArray sha256; // 32 raw bytes; empty when not known
};

namespace platform {
class Sha256;
}

// The temporary file of one fetch: created for it alone and open for writing. A
// fetch writes through append() (counted and hashed as it goes, and stopped as
// soon as it passes the expected size) or straight into descriptor. Nothing,
// the staging included, ever opens it again by its name: in a folder others can
// write, the name may by then lead somewhere else.
class TStagedFile {
public:
    TStagedFile(QString path, int descriptor, TExpectedContent expected);
    ~TStagedFile();
    TStagedFile(const TStagedFile&) = delete;
    TStagedFile& operator=(const TStagedFile&) = delete;

    const QString path; // for messages
    const int descriptor;

    // Writes all of data at the end. Throws EInOutError with the system's message
    // when the write fails, and when the content passes the expected size.
    void append(const char* data, std::size_t size) const;

    // A digest the sender announced, which the content must have as well.
    void expectSha256(const QByteArray& digest) const;

private:
    friend void replaceFileStaged(const QString&, platform::TDateTime,
                                  const std::function<void(const TStagedFile&)>&, bool,
                                  const TExpectedContent&);
    struct State;
    std::unique_ptr<State> m_state;
};

// Replaces target with fresh content without ever leaving it broken: fetch writes
// the content into a temporary file of its own beside target, whose size and
// SHA-256 are then checked against expected (and against what the fetch was
// told by its sender), which is given its mode and stamped with age through its
// descriptor, read back, synced, and renamed over target in one step; after the
// rename target must be the file that was written. On any failure that
// temporary is removed, target stays exactly as it was, and the error passes on.
//
// Each call creates its temporary exclusively, never following a link, under a
// name no other call can pick (target's name, the process id and a random part),
// so runs that meet on one folder never write, stamp, rename or delete each
// other's files, and a link put in its place is never followed.
//
// A time the file system cannot hold (it reads back as another one) fails the
// replacement with a message that names the age.
//
// Modes are ours, never the sender's: 0755 for an executable (asked for, or
// replacing one), 0644 for anything else, with group write added where the
// folder gives its group write; never set-id or sticky bits.
void replaceFileStaged(const QString& target, platform::TDateTime age,
                       const std::function<void(const TStagedFile& staged)>& fetch,
                       bool executable = false, const TExpectedContent& expected = {});

// Makes the renames done in folder durable (fsync of the folder). False when the
// folder cannot be opened or synced.
bool syncFolder(const QString& folder);

// True for the name of a staged temporary (a plain name, no folder).
bool isStagedTemporaryName(const QString& fileName);

// The staged temporaries of target that exist now (full paths); what the tests
// look for after a run, since the names carry a process id and a random part.
QStringList stagedTemporariesOf(const QString& target);

// Removes every staged temporary directly in folder, whoever left it. Only safe
// while holding the installation's lock, when no other run can be writing one.
// Returns how many were removed.
int removeStagedTemporaries(const QString& folder);
