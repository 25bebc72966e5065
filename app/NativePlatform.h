#pragma once

// The few services that come from the operating system rather than from Qt.
// This header includes no Qt, so the macOS side can be plain Objective-C++.
// Strings are UTF-8. Everything here runs on the GUI thread.

#include <optional>
#include <string>
#include <vector>

namespace NativePlatform {

// Makes the title bar of the window behind `nativeView` (an NSView * on macOS)
// transparent, dark grey, in the vibrant dark appearance, with the minimise and
// zoom buttons hidden. Does nothing where there is no such title bar.
void setupTitleBar(void *nativeView);

// Path of the running program's bundle (for an executable outside a bundle, its
// folder); empty when it cannot be told.
std::string bundlePath();

// One command to run with administrator rights, in the two forms the platforms
// need: the AppleScript source for macOS, the shell command line elsewhere.
struct PrivilegedCommand
{
    std::string appleScriptSource;
    std::string shellCommand;
};

// AppleScript's "User canceled." error number: the user dismissed the
// password prompt. The Linux side reports its prompt's dismissal with it too.
constexpr int userCancelled = -128;

// How a privileged script ended: success, or the error information the system
// gave back (each part may be absent). As AppleScript's do shell script does,
// a command that exits with a status other than 0 gives that status as the
// number and its standard error as the message.
struct ScriptOutcome
{
    bool succeeded = false;
    std::optional<int> errorNumber;
    std::optional<std::string> errorMessage;
};

// Runs the command with administrator rights, letting the system ask for the
// password. Blocks until the command has ended.
ScriptOutcome runPrivilegedScript(const PrivilegedCommand &command);

// This process's id as the system's process list numbers it, the list that
// root's command reads too.
int processId();

// The processes of the current user whose executable lies inside the bundle
// `bundlePath` (absolute): below `bundlePath` and a slash, so that a process of
// "Example.app2" is none of "Example.app"'s. This process and the processes it
// started, directly or not, are left out, and so is any process the system
// does not let us inspect. Their ids, in no particular order; empty when none
// runs or the processes cannot be listed.
std::vector<int> processesInsideBundle(const std::string &bundlePath);

} // namespace NativePlatform
