// Tests of the macOS native layer (app/NativePlatform_mac.mm) against the real AppKit, Foundation and
// AppleScript, without Qt: tst_NativePlatform_mac --expect-bundle PATH, where PATH is what bundlePath()
// must give (the executable's folder when it runs plain, the .app inside a bundle). Prints each failed
// check, then "N passed, N failed"; exits 1 on a failure. The title-bar test makes real NSWindows: it
// needs a window server (GitHub's macOS runners have one).

#include "NativePlatform.h"

#import <AppKit/AppKit.h> // and Foundation

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fnmatch.h>
#include <libproc.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

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

std::string realPath(const std::string &path)
{
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

// --- runPrivilegedScript, without administrator privileges -----------------

// Each script's outcome, "succeeded=0|1 number=N message="TEXT"" with "(none)"
// for a part that is absent, matched by a pattern (fnmatch: * any text, ? one
// character). The shell command is never run on macOS: it would exit with 99.
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
    {"notUtf8", "do shell script \"echo \xff\xfe\"",
     "succeeded=0 number=(none) message=\"The installation script is not valid UTF-8.\""},
};

void scriptOutcomes()
{
    for (const ScriptCase &c : scriptCases) {
        currentTest = c.name;
        const NativePlatform::ScriptOutcome result = NativePlatform::runPrivilegedScript({c.appleScript, "exit 99"});
        const std::string outcome = std::string("succeeded=") + (result.succeeded ? "1" : "0") +
                                    " number=" + (result.errorNumber ? std::to_string(*result.errorNumber) : "(none)") +
                                    " message=" + (result.errorMessage ? "\"" + *result.errorMessage + "\"" : "(none)");
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
    CHECK(!path.empty() && realPath(path) == realPath(expected));
    if (path.empty() || realPath(path) != realPath(expected))
        std::fprintf(stderr, "  bundlePath() = \"%s\", expected \"%s\"\n", path.c_str(), expected.c_str());
}

// --- processesInsideBundle -------------------------------------------------

// `bundle`/Contents/MacOS/Example, a copy of /bin/sleep; empty on failure.
std::string makeApplication(const std::string &bundle)
{
    NSFileManager *files = [NSFileManager defaultManager];
    NSString *folder = [NSString stringWithUTF8String:(bundle + "/Contents/MacOS").c_str()];
    NSString *executable = [folder stringByAppendingPathComponent:@"Example"];
    const bool made = [files createDirectoryAtPath:folder withIntermediateDirectories:YES attributes:nil error:nil] &&
                      [files copyItemAtPath:@"/bin/sleep" toPath:executable error:nil];
    return made ? std::string([executable fileSystemRepresentation]) : std::string();
}

// Runs `program` 30 from a shell that this process starts: in the shell's
// stead, so as this process's child, or `adopted`, in the background of a
// shell that ends at once, so that launchd adopts it and it is no descendant
// of this process (that shell is waited for here). Its pid, -1 on failure;
// `shell`, if any is left, is to be closed once the program has ended.
pid_t start(const std::string &program, bool adopted, FILE *&shell)
{
    const std::string run = "'" + program + "' 30 >/dev/null 2>&1";
    shell = ::popen((adopted ? run + " & echo $!" : "echo $$; exec " + run).c_str(), "r");
    int pid = -1;
    if (shell != nullptr && std::fscanf(shell, "%d", &pid) != 1)
        pid = -1;
    if (adopted && shell != nullptr) {
        ::pclose(shell);
        shell = nullptr;
    }
    return pid;
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
// found; one inside Example.app2 (whose path only begins like it) is not, nor
// one that this process started, nor this process in its own bundle.
void processesInsideBundleAreFound(const std::string &ownBundle)
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

    FILE *shells[3] = {};
    const pid_t adopted = start(inApp, true, shells[0]);
    const pid_t beside = start(inSibling, true, shells[1]);
    const pid_t child = start(inApp, false, shells[2]);
    CHECK(runsSoon(adopted, inApp) && runsSoon(beside, inSibling) && runsSoon(child, inApp));

    const std::vector<int> inside = NativePlatform::processesInsideBundle(app);
    CHECK(holds(inside, adopted));
    CHECK(!holds(inside, beside));
    CHECK(!holds(inside, child));
    CHECK(holds(NativePlatform::processesInsideBundle(sibling), beside));
    CHECK(!holds(NativePlatform::processesInsideBundle(realPath(ownBundle)), ::getpid()));

    for (const pid_t pid : {adopted, beside, child})
        if (pid > 0)
            ::kill(pid, SIGKILL);
    for (FILE *shell : shells)
        if (shell != nullptr)
            ::pclose(shell);
    [[NSFileManager defaultManager] removeItemAtPath:[NSString stringWithUTF8String:folder.c_str()] error:nil];
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
    CGFloat rgba[4] = {-1, -1, -1, -1};
    [background getRed:&rgba[0] green:&rgba[1] blue:&rgba[2] alpha:&rgba[3]];
    const CGFloat wanted[4] = {0.33, 0.33, 0.33, 1.0};
    for (int i = 0; i < 4; ++i)
        CHECK(std::fabs(rgba[i] - wanted[i]) < 0.005);
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 3 || std::strcmp(argv[1], "--expect-bundle") != 0) {
        std::fprintf(stderr, "usage: %s --expect-bundle PATH\n", argv[0]);
        return 2;
    }
    @autoreleasepool {
        [NSApplication sharedApplication];
        scriptOutcomes();
        bundlePathIsTheExpectedOne(argv[2]);
        processesInsideBundleAreFound(argv[2]);
        titleBarIsSetUp();
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
