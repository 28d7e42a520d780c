#pragma once

#include <QString>

#include <array>

// The files every module of the suite shares, relative to the installation folder
// (backslash separators, letter case as written). Repeats are kept on purpose: the
// local list of a run holds every entry, in this order.
inline constexpr int AdditionalFilesCount = 59;

// The one subfolder they use, the report definitions, in the installation folder
// at localPath: the launcher makes it at start-up, as the command does.
QString reportFolderOf(const QString& localPath);

extern const std::array<QString, AdditionalFilesCount> AdditionalFiles;
