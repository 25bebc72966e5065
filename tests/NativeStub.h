#pragma once

// The native layer as the window's and the completion's tests stand in for it: the bundle is in the current folder, the
// privileged run succeeds without installing anything unless `outcomes` says otherwise, and it and the looks for a
// running application are counted, `observe` seeing each look.
#include "NativePlatform.h"

#include <QDir>
#include <QTemporaryDir>

#include <deque>
#include <functional>

namespace NativeStub {
inline int privilegedRuns = 0;
inline int applicationChecks = 0;
inline bool running = false; // every check finds the application running
inline std::string bundleChecked;
inline void *titleBarView = nullptr; // the native view whose title bar was last set up
inline std::function<void()> observe;
inline std::deque<NativePlatform::ScriptOutcome> outcomes; // of the next privileged runs; then each succeeds

inline void reset()
{
    privilegedRuns = applicationChecks = 0;
    running = false;
    bundleChecked.clear();
    titleBarView = nullptr;
    observe = nullptr;
    outcomes.clear();
}

// The test's own empty folder as the current one (the download lands there), the previous one restored after, and
// the counts reset.
struct InTemporaryFolder
{
    QTemporaryDir folder;
    const QString previous = QDir::currentPath();
    InTemporaryFolder()
    {
        QDir::setCurrent(folder.path());
        reset();
    }
    ~InTemporaryFolder() { QDir::setCurrent(previous); }
};
} // namespace NativeStub

namespace NativePlatform {
void setupTitleBar(void *nativeView)
{
    NativeStub::titleBarView = nativeView;
}
std::string bundlePath()
{
    return "Tarnwick Installer.app";
}
ScriptOutcome runPrivilegedScript(const PrivilegedCommand &)
{
    using namespace NativeStub;
    ++privilegedRuns;
    if (outcomes.empty())
        return {true, std::nullopt, std::nullopt};
    const ScriptOutcome next = outcomes.front();
    outcomes.pop_front();
    return next;
}
int processId()
{
    return 4241;
}
std::vector<int> processesInsideBundle(const std::string &bundlePath)
{
    using namespace NativeStub;
    ++applicationChecks;
    bundleChecked = bundlePath;
    if (observe)
        observe();
    return running ? std::vector<int>{4242} : std::vector<int>();
}
} // namespace NativePlatform
