#pragma once

#include <QString>

#include <functional>

// Starts a module's executable as a separate process: no shell, no arguments, in
// the launcher's current folder. The launcher does not wait for it or watch it;
// the result says only whether the system started it.
using ModuleStarter = std::function<bool(const QString& executable)>;

bool startModuleDetached(const QString& executable);

// The starter the panel uses. Tests wrap it to see which modules start, in order.
ModuleStarter& moduleStarter();
