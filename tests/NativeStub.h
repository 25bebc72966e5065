#pragma once

// The native layer as the window's and the completion's tests stand in for it: the bundle is in the current
// folder, nothing is really installed, and the privileged run and the look for a running application are
// counted, `observe` seeing each.
#include "NativePlatform.h"

#include <functional>

namespace NativeStub {
inline int privilegedRuns = 0;
inline NativePlatform::ScriptOutcome outcome;
inline int applicationChecks = 0;
inline int runningChecks = 0; // how many checks find the application running; -1: every one
inline std::string bundleChecked;
inline std::function<void()> observe;

inline void reset()
{
    privilegedRuns = applicationChecks = runningChecks = 0;
    outcome = {true, std::nullopt, std::nullopt};
    bundleChecked.clear();
    observe = nullptr;
}
} // namespace NativeStub

namespace NativePlatform {
void setupTitleBar(void *) {}
std::string bundlePath()
{
    return "Tarnwick Installer.app";
}
ScriptOutcome runPrivilegedScript(const PrivilegedCommand &)
{
    ++NativeStub::privilegedRuns;
    if (NativeStub::observe)
        NativeStub::observe();
    return NativeStub::outcome;
}
std::vector<int> processesInsideBundle(const std::string &bundlePath)
{
    using namespace NativeStub;
    ++applicationChecks;
    bundleChecked = bundlePath;
    if (observe)
        observe();
    if (runningChecks < 0 || applicationChecks <= runningChecks)
        return {4242};
    return {};
}
} // namespace NativePlatform
