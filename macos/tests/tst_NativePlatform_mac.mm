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

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fnmatch.h>
#include <limits.h>
#include <optional>
#include <stdlib.h>
#include <string>
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
    return "succeeded=" + std::to_string(outcome.succeeded ? 1 : 0) + " number=" + show(outcome.errorNumber)
        + " message=" + show(outcome.errorMessage);
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
        CHECK(::fnmatch(c.outcome, outcome.c_str(), 0) == 0);
        if (::fnmatch(c.outcome, outcome.c_str(), 0) != 0)
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

// --- setupTitleBar ---------------------------------------------------------

NSWindow *makeWindow()
{
    const NSWindowStyleMask style = NSWindowStyleMaskTitled | NSWindowStyleMaskClosable
        | NSWindowStyleMaskMiniaturizable | NSWindowStyleMaskResizable;
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
        titleBarIsSetUp();
        titleBarOfNothingIsLeftAlone();
    }

    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
