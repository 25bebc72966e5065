#pragma once

#include "NativePlatform.h"

#include <functional>
#include <string>
#include <vector>

// Controls and records the test build's native layer.
namespace FakeNativePlatform {

// Back to the start: no calls recorded, bundle path empty, scripts succeed.
void reset();

void setBundlePath(const std::string &path);
void setScriptOutcome(const NativePlatform::ScriptOutcome &outcome);
// Runs while a privileged script "runs", before its outcome is given back.
void setScriptAction(std::function<void(const NativePlatform::PrivilegedCommand &)> action);

int titleBarCalls();
void *lastTitleBarView();
const std::vector<NativePlatform::PrivilegedCommand> &scriptsRun();

} // namespace FakeNativePlatform
