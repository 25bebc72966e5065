// Tests of the macOS native layer (app/NativePlatform_mac.mm) against the real
// AppKit, Foundation and AppleScript: a plain Objective-C++ runner, no Qt.
//
//   tst_NativePlatform_mac --expect-bundle PATH
//
// PATH is what bundlePath() must give for this run: the folder of the
// executable when it runs plain, the .app when it runs inside a bundle.
// Prints one line per failed check, then "N passed, N failed"; exits 1 when
// a check failed. Needs a login session with a window server (GitHub's macOS
// runners have one): the title-bar tests make real NSWindows.

#include "NativePlatform.h"

#import <AppKit/AppKit.h>
#import <Foundation/Foundation.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fnmatch.h>
#include <fstream>
#include <libproc.h>
#include <limits.h>
#include <optional>
#include <signal.h>
#include <stdlib.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

int passed = 0;
int failed = 0;
const char *currentTest = "";

// Not "check": AssertMacros.h, which AppKit brings in, may define check() as a macro.
void recordCheck(bool condition, const char *what, const char *file, int line)
{
    if (condition) {
        ++passed;
        return;
    }
    ++failed;
    std::fprintf(stderr, "FAIL %s: %s (%s:%d)\n", currentTest, what, file, line);
}

#define CHECK(condition) recordCheck((condition), #condition, __FILE__, __LINE__)

std::string show(const std::optional<std::string> &value)
{
    return value ? "\"" + *value + "\"" : std::string("(none)");
}

std::string show(const std::optional<int> &value)
{
    return value ? std::to_string(*value) : std::string("(none)");
}

std::string describe(const NativePlatform::ScriptOutcome &outcome)
{
    return "succeeded=" + std::to_string(outcome.succeeded ? 1 : 0) + " number=" + show(outcome.errorNumber) +
           " message=" + show(outcome.errorMessage);
}

NativePlatform::ScriptOutcome run(const std::string &appleScript)
{
    NativePlatform::PrivilegedCommand command;
    command.appleScriptSource = appleScript;
    command.shellCommand = "exit 99"; // never run on macOS: a run of it would show as status 99
    return NativePlatform::runPrivilegedScript(command);
}

std::string realPath(const std::string &path)
{
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

// --- runPrivilegedScript, without administrator privileges -----------------

// Each script's outcome as describe() gives it, matched by a pattern (fnmatch: * any text, ? one character).
struct ScriptCase
{
    const char *name;
    const char *appleScript;
    const char *outcome;
};

const ScriptCase scriptCases[] = {
    {"succeeds", "do shell script \"true\"", "succeeded=1 number=(none) message=(none)"},
    // A failing shell command, so one that ran: the error number is its exit status, the message what it wrote to
    // standard error.
    {"failingCommand", "do shell script \"echo oops >&2; exit 3\"", "succeeded=0 number=3 message=\"oops\""},
    {"scriptError", "error \"boom \u00e9\" number 42", "succeeded=0 number=42 message=\"boom \u00e9\""},
    // -128 is what the updater takes for "the user cancelled the password prompt".
    {"cancelled", "error number -128", "succeeded=0 number=-128 message=*"},
    {"doesNotCompile", "do shell script \"true", "succeeded=0 number=[-0-9]* message=\"?*\""},
    {"notUtf8", "do shell script \"echo \xff\xfe\"",
     "succeeded=0 number=(none) message=\"The installation script is not valid UTF-8.\""},
};

void scriptOutcomes()
{
    for (const ScriptCase &c : scriptCases) {
        currentTest = c.name;
        const std::string outcome = describe(run(c.appleScript));
        const bool matches = ::fnmatch(c.outcome, outcome.c_str(), 0) == 0;
        CHECK(matches);
        if (!matches)
            std::fprintf(stderr, "  outcome: %s\n", outcome.c_str());
    }
}

// --- bundlePath ------------------------------------------------------------

void bundlePathIsTheExpectedOne(const std::string &expected)
{
    currentTest = "bundlePathIsTheExpectedOne";
    const std::string path = NativePlatform::bundlePath();
    CHECK(!path.empty());
    CHECK(realPath(path) == realPath(expected));
    if (realPath(path) != realPath(expected))
        std::fprintf(stderr, "  bundlePath() = \"%s\", expected \"%s\"\n", path.c_str(), expected.c_str());
}

// --- processesInsideBundle -------------------------------------------------

// `bundle`/Contents/MacOS/Example, a copy of /bin/sleep; empty on failure.
std::string makeApplication(const std::string &bundle)
{
    const std::string folder = bundle + "/Contents/MacOS";
    for (const std::string &level : {bundle, bundle + "/Contents", folder})
        if (::mkdir(level.c_str(), 0755) != 0)
            return std::string();
    const std::string executable = folder + "/Example";
    std::ifstream in("/bin/sleep", std::ios::binary);
    std::ofstream out(executable, std::ios::binary);
    out << in.rdbuf();
    out.close();
    return in && out && ::chmod(executable.c_str(), 0755) == 0 ? executable : std::string();
}

void removeApplication(const std::string &bundle)
{
    ::unlink((bundle + "/Contents/MacOS/Example").c_str());
    ::rmdir((bundle + "/Contents/MacOS").c_str());
    ::rmdir((bundle + "/Contents").c_str());
    ::rmdir(bundle.c_str());
}

// Runs `program` 30 in a child of this process or, `adopted`, in a grandchild whose parent ends at once: launchd
// adopts it, so it is no descendant of this process. Its pid, -1 on failure. Between fork and exec only
// async-signal-safe calls.
pid_t start(const std::string &program, bool adopted)
{
    const char *path = program.c_str();
    int channel[2] = {-1, -1};
    if (adopted && ::pipe(channel) != 0)
        return -1;
    const pid_t child = ::fork();
    if (child == 0 && adopted) {
        const pid_t grandchild = ::fork();
        if (grandchild != 0) { // the child, which hands the grandchild's pid (or -1) over and ends
            const ssize_t written = ::write(channel[1], &grandchild, sizeof grandchild);
            ::_exit(written == static_cast<ssize_t>(sizeof grandchild) ? 0 : 1);
        }
    }
    if (child == 0) { // the program's process: the child, or the grandchild
        ::execl(path, path, "30", static_cast<char *>(nullptr));
        ::_exit(127);
    }
    if (!adopted)
        return child;
    ::close(channel[1]);
    pid_t grandchild = -1;
    if (child < 0 || ::read(channel[0], &grandchild, sizeof grandchild) != static_cast<ssize_t>(sizeof grandchild))
        grandchild = -1;
    ::close(channel[0]);
    if (child > 0)
        ::waitpid(child, nullptr, 0);
    return grandchild;
}

// Whether `pid` runs `program` within five seconds (it may not have reached exec yet).
bool runsSoon(pid_t pid, const std::string &program)
{
    for (int tries = 0; pid > 0 && tries < 500; ++tries) {
        char path[PROC_PIDPATHINFO_MAXSIZE];
        const int length = proc_pidpath(pid, path, sizeof path);
        if (length > 0 && std::string(path, static_cast<size_t>(length)) == program)
            return true;
        ::usleep(10000);
    }
    return false;
}

bool holds(const std::vector<int> &pids, pid_t pid)
{
    return std::find(pids.begin(), pids.end(), static_cast<int>(pid)) != pids.end();
}

// A copy of sleep inside Example.app that this process did not start is
// found; one inside Example.app2 (whose path only begins like it) is not,
// nor one that this process started.
void processesInsideBundleAreFound()
{
    currentTest = "processesInsideBundleAreFound";
    char made[] = "/tmp/tst_native.XXXXXX";
    CHECK(::mkdtemp(made) != nullptr);
    const std::string folder = realPath(made); // /private/tmp/..., as proc_pidpath names it
    const std::string app = folder + "/Example.app";
    const std::string sibling = folder + "/Example.app2";
    const std::string inApp = makeApplication(app);
    const std::string inSibling = makeApplication(sibling);
    CHECK(!inApp.empty() && !inSibling.empty());

    const pid_t adopted = start(inApp, true);
    const pid_t beside = start(inSibling, true);
    const pid_t child = start(inApp, false);
    CHECK(runsSoon(adopted, inApp));
    CHECK(runsSoon(beside, inSibling));
    CHECK(runsSoon(child, inApp));

    const std::vector<int> inside = NativePlatform::processesInsideBundle(app);
    CHECK(holds(inside, adopted));
    CHECK(!holds(inside, beside));
    CHECK(!holds(inside, child));
    CHECK(holds(NativePlatform::processesInsideBundle(sibling), beside));

    for (const pid_t pid : {adopted, beside, child})
        if (pid > 0)
            ::kill(pid, SIGKILL);
    if (child > 0)
        ::waitpid(child, nullptr, 0);
    removeApplication(app);
    removeApplication(sibling);
    ::rmdir(folder.c_str());
}

// The runner's own bundle (or folder) holds the runner, which is left out.
void thisProcessIsLeftOut(const std::string &bundle)
{
    currentTest = "thisProcessIsLeftOut";
    CHECK(!holds(NativePlatform::processesInsideBundle(realPath(bundle)), ::getpid()));
}

// --- setupTitleBar ---------------------------------------------------------

NSWindow *makeWindow()
{
    const NSWindowStyleMask style = NSWindowStyleMaskTitled | NSWindowStyleMaskClosable |
                                    NSWindowStyleMaskMiniaturizable | NSWindowStyleMaskResizable;
    NSWindow *window = [[NSWindow alloc] initWithContentRect:NSMakeRect(0, 0, 320, 200)
                                                   styleMask:style
                                                     backing:NSBackingStoreBuffered
                                                       defer:YES];
    [window setReleasedWhenClosed:NO];
    return window;
}

void titleBarIsSetUp()
{
    currentTest = "titleBarIsSetUp";
    NSWindow *window = makeWindow();
    NSWindow *other = makeWindow(); // made the same way, left alone: only the window of the view given changes

    NativePlatform::setupTitleBar((__bridge void *)[window contentView]);

    CHECK([window titlebarAppearsTransparent]);
    CHECK(![other titlebarAppearsTransparent]);
    CHECK([[[window appearance] name] isEqualToString:NSAppearanceNameVibrantDark]);
    for (NSWindowButton button : {NSWindowMiniaturizeButton, NSWindowZoomButton, NSWindowCloseButton}) {
        CHECK(bool([[window standardWindowButton:button] isHidden]) == (button != NSWindowCloseButton));
        CHECK(![[other standardWindowButton:button] isHidden]);
    }
    // Dark grey, opaque.
    NSColor *background = [[window backgroundColor] colorUsingColorSpace:[NSColorSpace genericRGBColorSpace]];
    CHECK(background != nil);
    CGFloat rgba[4] = {-1, -1, -1, -1};
    [background getRed:&rgba[0] green:&rgba[1] blue:&rgba[2] alpha:&rgba[3]];
    const CGFloat wanted[4] = {0.33, 0.33, 0.33, 1.0};
    for (int i = 0; i < 4; ++i)
        CHECK(std::fabs(rgba[i] - wanted[i]) < 0.005);
}

void titleBarOfNothingIsLeftAlone()
{
    currentTest = "titleBarOfNothingIsLeftAlone";
    NativePlatform::setupTitleBar(nullptr);
    NSView *loose = [[NSView alloc] initWithFrame:NSMakeRect(0, 0, 10, 10)];
    NativePlatform::setupTitleBar((__bridge void *)loose);
    CHECK([loose window] == nil);
}

} // namespace

int main(int argc, char *argv[])
{
    std::string expectedBundle;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--expect-bundle") == 0 && i + 1 < argc)
            expectedBundle = argv[++i];
    }
    if (expectedBundle.empty()) {
        std::fprintf(stderr, "usage: %s --expect-bundle PATH\n", argv[0]);
        return 2;
    }

    @autoreleasepool {
        [NSApplication sharedApplication];

        scriptOutcomes();
        bundlePathIsTheExpectedOne(expectedBundle);
        processesInsideBundleAreFound();
        thisProcessIsLeftOut(expectedBundle);
        titleBarIsSetUp();
        titleBarOfNothingIsLeftAlone();
    }

    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
