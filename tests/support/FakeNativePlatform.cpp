#include "FakeNativePlatform.h"

#include <utility>

namespace {

struct State
{
    std::string bundlePath;
    NativePlatform::ScriptOutcome outcome{true, {}, {}};
    int titleBarCalls = 0;
    void *lastTitleBarView = nullptr;
    std::vector<NativePlatform::PrivilegedCommand> scriptsRun;
    std::function<void(const NativePlatform::PrivilegedCommand &)> scriptAction;
};

State &state()
{
    static State instance;
    return instance;
}

} // namespace

namespace NativePlatform {

void setupTitleBar(void *nativeView)
{
    ++state().titleBarCalls;
    state().lastTitleBarView = nativeView;
}

std::string bundlePath()
{
    return state().bundlePath;
}

ScriptOutcome runPrivilegedScript(const PrivilegedCommand &command)
{
    state().scriptsRun.push_back(command);
    if (state().scriptAction)
        state().scriptAction(command);
    return state().outcome;
}

} // namespace NativePlatform

namespace FakeNativePlatform {

void reset()
{
    state() = State();
}

void setBundlePath(const std::string &path)
{
    state().bundlePath = path;
}

void setScriptOutcome(const NativePlatform::ScriptOutcome &outcome)
{
    state().outcome = outcome;
}

void setScriptAction(std::function<void(const NativePlatform::PrivilegedCommand &)> action)
{
    state().scriptAction = std::move(action);
}

int titleBarCalls()
{
    return state().titleBarCalls;
}

void *lastTitleBarView()
{
    return state().lastTitleBarView;
}

const std::vector<NativePlatform::PrivilegedCommand> &scriptsRun()
{
    return state().scriptsRun;
}

} // namespace FakeNativePlatform
