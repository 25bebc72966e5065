// app/NativePlatform_mac.mm against the real AppKit, Foundation and AppleScript, without Qt: tst_NativePlatform_mac
// --expect-bundle PATH (what bundlePath() must give). Needs a window server.

#include "NativePlatform.h"

#import <AppKit/AppKit.h> // and Foundation

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <libproc.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

int passed = 0, failed = 0;
const char *currentTest = "";

// Not "check": AssertMacros.h, which AppKit brings in, may define check() as a macro. `detail` is printed on failure.
void recordCheck(bool condition, const char *what, const char *file, int line, const std::string &detail = "")
{
    condition ? ++passed : ++failed;
    if (!condition)
        std::fprintf(stderr, "FAIL %s: %s (%s:%d) %s\n", currentTest, what, file, line, detail.c_str());
}

#define CHECK(condition) recordCheck((condition), #condition, __FILE__, __LINE__)
#define CHECK_SHOWING(condition, detail) recordCheck((condition), #condition, __FILE__, __LINE__, (detail))

std::string realPath(const std::string &path)
{
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

// runPrivilegedScript, without administrator privileges: each script's outcome, "succeeded=0|1 number=N message="TEXT""
// with "(none)" for a part that is absent. The shell command is never run on macOS: it would exit with 99.
const char *const scriptCases[][2] = {
    {"do shell script \"true\"", "succeeded=1 number=(none) message=(none)"},
    {"error \"boom \u00e9\" number -128", "succeeded=0 number=-128 message=\"boom \u00e9\""},
    {"do shell script \"echo \xff\xfe\"",
     "succeeded=0 number=(none) message=\"The installation script is not valid UTF-8.\""},
    // As root's command reports a running application: its status and its standard error, which InstallCommand reads.
    {"do shell script \"echo 'The application is running; nothing was installed.' >&2; exit 75\"",
     "succeeded=0 number=75 message=\"The application is running; nothing was installed.\""},
};

void scriptOutcomes()
{
    currentTest = "scriptOutcomes";
    for (const auto &c : scriptCases) {
        const NativePlatform::ScriptOutcome result = NativePlatform::runPrivilegedScript({c[0], "exit 99"});
        const std::string outcome = std::string("succeeded=") + (result.succeeded ? "1" : "0") +
                                    " number=" + (result.errorNumber ? std::to_string(*result.errorNumber) : "(none)") +
                                    " message=" + (result.errorMessage ? "\"" + *result.errorMessage + "\"" : "(none)");
        CHECK_SHOWING(outcome == c[1], "outcome: " + outcome);
    }
}

// Runs `program` 30 from a shell that this process starts: in the shell's stead, so as this process's child, or
// `adopted`, in the background of a shell that ends at once, so that launchd adopts it. Its pid once it runs `program`
// (within five seconds), -1 on failure.
pid_t start(const std::string &program, bool adopted)
{
    const std::string run = "'" + program + "' 30 >/dev/null 2>&1";
    FILE *shell = ::popen((adopted ? run + " & echo $!" : "echo $$; exec " + run).c_str(), "r");
    int pid = -1;
    if (shell == nullptr || std::fscanf(shell, "%d", &pid) != 1)
        return -1;
    if (adopted)
        ::pclose(shell); // the child's shell is left open: it is the child
    for (int tries = 0; tries < 500; ++tries, ::usleep(10000)) {
        char path[PROC_PIDPATHINFO_MAXSIZE];
        const int length = proc_pidpath(pid, path, sizeof path);
        if (length > 0 && std::string(path, static_cast<size_t>(length)) == program)
            return pid;
    }
    return -1;
}

// A copy of sleep inside Example.app that this process did not start is found; one that it started is not.
void processesInsideBundleAreFound()
{
    currentTest = "processesInsideBundleAreFound";
    char made[] = "/tmp/tst_native.XXXXXX";
    CHECK(::mkdtemp(made) != nullptr);
    const std::string app = realPath(made) + "/Example.app"; // /private/tmp/..., as proc_pidpath names it
    const std::string program = app + "/Contents/MacOS/Example";
    CHECK(::system(("mkdir -p '" + app + "/Contents/MacOS' && cp /bin/sleep '" + program + "'").c_str()) == 0);
    const pid_t adopted = start(program, true);
    const pid_t child = start(program, false);
    CHECK(adopted > 0 && child > 0);
    const std::vector<int> inside = NativePlatform::processesInsideBundle(app);
    CHECK(std::find(inside.begin(), inside.end(), adopted) != inside.end());
    CHECK(std::find(inside.begin(), inside.end(), child) == inside.end());
    for (const pid_t pid : {adopted, child})
        if (pid > 0)
            ::kill(pid, SIGKILL);
    [[NSFileManager defaultManager] removeItemAtPath:[NSString stringWithUTF8String:made] error:nil];
}

// setupTitleBar: the window's title bar see-through and dark, with its close button alone.
void titleBarIsSetUp()
{
    currentTest = "titleBarIsSetUp";
    NSWindow *window =
        [[NSWindow alloc] initWithContentRect:NSMakeRect(0, 0, 320, 200)
                                    styleMask:NSWindowStyleMaskTitled | NSWindowStyleMaskClosable |
                                              NSWindowStyleMaskMiniaturizable | NSWindowStyleMaskResizable
                                      backing:NSBackingStoreBuffered
                                        defer:YES];
    [window setReleasedWhenClosed:NO];
    NativePlatform::setupTitleBar((__bridge void *)[window contentView]);

    CHECK([window titlebarAppearsTransparent]);
    CHECK([[[window appearance] name] isEqualToString:NSAppearanceNameVibrantDark]);
    for (NSWindowButton button : {NSWindowMiniaturizeButton, NSWindowZoomButton, NSWindowCloseButton})
        CHECK(bool([[window standardWindowButton:button] isHidden]) == (button != NSWindowCloseButton));
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
        currentTest = "bundlePath";
        const std::string path = NativePlatform::bundlePath();
        CHECK_SHOWING(!path.empty() && realPath(path) == realPath(argv[2]),
                      "bundlePath() = \"" + path + "\", expected \"" + argv[2] + "\"");
        processesInsideBundleAreFound();
        titleBarIsSetUp();
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
