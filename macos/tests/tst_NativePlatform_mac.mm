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

void describe(const NativePlatform::ScriptOutcome &outcome)
{
    std::fprintf(stderr, "  outcome: succeeded=%d number=%s message=%s\n", outcome.succeeded ? 1 : 0,
                 show(outcome.errorNumber).c_str(), show(outcome.errorMessage).c_str());
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

void scriptThatSucceeds()
{
    currentTest = "scriptThatSucceeds";
    const NativePlatform::ScriptOutcome outcome = run("do shell script \"true\"");
    CHECK(outcome.succeeded);
    CHECK(!outcome.errorNumber.has_value());
    CHECK(!outcome.errorMessage.has_value());
    if (!outcome.succeeded)
        describe(outcome);
}

void scriptRunsItsCommand()
{
    currentTest = "scriptRunsItsCommand";
    char folder[] = "/tmp/tst_native.XXXXXX";
    CHECK(::mkdtemp(folder) != nullptr);
    const std::string marker = std::string(folder) + "/ran";
    const NativePlatform::ScriptOutcome outcome = run("do shell script \"printf done > '" + marker + "'\"");
    CHECK(outcome.succeeded);
    FILE *file = std::fopen(marker.c_str(), "r");
    CHECK(file != nullptr);
    char text[16] = {};
    if (file) {
        CHECK(std::fread(text, 1, sizeof text - 1, file) == 4);
        std::fclose(file);
    }
    CHECK(std::strcmp(text, "done") == 0);
    ::unlink(marker.c_str());
    ::rmdir(folder);
}

// A shell command that fails: AppleScript's error number is the command's exit
// status, its message what the command wrote to standard error.
void failingCommandGivesStatusAndStandardError()
{
    currentTest = "failingCommandGivesStatusAndStandardError";
    const NativePlatform::ScriptOutcome outcome = run("do shell script \"echo oops >&2; exit 3\"");
    CHECK(!outcome.succeeded);
    CHECK(outcome.errorNumber == std::optional<int>(3));
    CHECK(outcome.errorMessage == std::optional<std::string>("oops"));
    describe(outcome);
}

void scriptErrorGivesItsNumberAndMessage()
{
    currentTest = "scriptErrorGivesItsNumberAndMessage";
    const NativePlatform::ScriptOutcome outcome = run("error \"boom \u00e9\" number 42");
    CHECK(!outcome.succeeded);
    CHECK(outcome.errorNumber == std::optional<int>(42));
    CHECK(outcome.errorMessage == std::optional<std::string>("boom \u00e9"));
}

// -128 is what the updater takes for "the user cancelled the password prompt".
void cancellationNumberComesBack()
{
    currentTest = "cancellationNumberComesBack";
    const NativePlatform::ScriptOutcome outcome = run("error number -128");
    CHECK(!outcome.succeeded);
    CHECK(outcome.errorNumber == std::optional<int>(-128));
}

void scriptThatDoesNotCompileFails()
{
    currentTest = "scriptThatDoesNotCompileFails";
    const NativePlatform::ScriptOutcome outcome = run("do shell script \"true");
    CHECK(!outcome.succeeded);
    CHECK(outcome.errorNumber.has_value());
    CHECK(outcome.errorMessage.has_value() && !outcome.errorMessage->empty());
}

void sourceThatIsNotUtf8IsRefused()
{
    currentTest = "sourceThatIsNotUtf8IsRefused";
    const NativePlatform::ScriptOutcome outcome = run("do shell script \"echo \xff\xfe\"");
    CHECK(!outcome.succeeded);
    CHECK(!outcome.errorNumber.has_value());
    CHECK(outcome.errorMessage == std::optional<std::string>("The installation script is not valid UTF-8."));
}

// --- bundlePath ------------------------------------------------------------

void bundlePathIsTheExpectedOne(const std::string &expected)
{
    currentTest = "bundlePathIsTheExpectedOne";
    const std::string path = NativePlatform::bundlePath();
    CHECK(!path.empty());
    CHECK(!expected.empty());
    CHECK(realPath(path) == realPath(expected));
    if (realPath(path) != realPath(expected))
        std::fprintf(stderr, "  bundlePath() = \"%s\", expected \"%s\"\n", path.c_str(), expected.c_str());
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
    NSWindow *other = makeWindow();
    CHECK(![window titlebarAppearsTransparent]);
    CHECK(![[window standardWindowButton:NSWindowMiniaturizeButton] isHidden]);

    NativePlatform::setupTitleBar((__bridge void *)[window contentView]);

    CHECK([window titlebarAppearsTransparent]);
    CHECK([[[window appearance] name] isEqualToString:NSAppearanceNameVibrantDark]);
    CHECK([[window standardWindowButton:NSWindowMiniaturizeButton] isHidden]);
    CHECK([[window standardWindowButton:NSWindowZoomButton] isHidden]);
    CHECK(![[window standardWindowButton:NSWindowCloseButton] isHidden]);
    NSColor *background = [[window backgroundColor] colorUsingColorSpace:[NSColorSpace genericRGBColorSpace]];
    CHECK(background != nil);
    if (background != nil) {
        CHECK(std::fabs([background redComponent] - 0.33) < 0.005);
        CHECK(std::fabs([background greenComponent] - 0.33) < 0.005);
        CHECK(std::fabs([background blueComponent] - 0.33) < 0.005);
        CHECK(std::fabs([background alphaComponent] - 1.0) < 0.005);
    }

    // Only the window of the view given is changed.
    CHECK(![other titlebarAppearsTransparent]);
    CHECK(![[other standardWindowButton:NSWindowMiniaturizeButton] isHidden]);
    CHECK(![[other standardWindowButton:NSWindowZoomButton] isHidden]);
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

        scriptThatSucceeds();
        scriptRunsItsCommand();
        failingCommandGivesStatusAndStandardError();
        scriptErrorGivesItsNumberAndMessage();
        cancellationNumberComesBack();
        scriptThatDoesNotCompileFails();
        sourceThatIsNotUtf8IsRefused();
        bundlePathIsTheExpectedOne(expectedBundle);
        titleBarIsSetUp();
        titleBarOfNothingIsLeftAlone();
    }

    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
