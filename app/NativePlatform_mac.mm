// macOS side of the native layer: AppKit for the title bar, Foundation for the
// bundle path and the privileged AppleScript. No Qt headers here. Built with
// ARC, so the script object is released when it goes out of scope.

#include "NativePlatform.h"

#import <AppKit/AppKit.h>
#import <Foundation/Foundation.h>

namespace NativePlatform {

void setupTitleBar(void *nativeView)
{
    NSView *view = (__bridge NSView *)nativeView;
    NSWindow *window = [view window];
    [window setTitlebarAppearsTransparent:YES];
    [window setBackgroundColor:[NSColor colorWithRed:0.33f green:0.33f blue:0.33f alpha:1.0]];
    [window setAppearance:[NSAppearance appearanceNamed:NSAppearanceNameVibrantDark]];
    [[window standardWindowButton:NSWindowMiniaturizeButton] setHidden:YES];
    [[window standardWindowButton:NSWindowZoomButton] setHidden:YES];
}

std::string bundlePath()
{
    @autoreleasepool {
        const char *path = [[[NSBundle mainBundle] bundlePath] cStringUsingEncoding:NSUTF8StringEncoding];
        return path ? std::string(path) : std::string();
    }
}

ScriptOutcome runPrivilegedScript(const PrivilegedCommand &command)
{
    ScriptOutcome outcome;
    @autoreleasepool {
        NSString *source = [NSString stringWithUTF8String:command.appleScriptSource.c_str()];
        if (source == nil) {
            outcome.errorMessage = "The installation script is not valid UTF-8.";
            return outcome;
        }
        NSAppleScript *script = [[NSAppleScript alloc] initWithSource:source];
        NSDictionary *errorInfo = nil;
        NSAppleEventDescriptor *result = [script executeAndReturnError:&errorInfo];
        if (result != nil) {
            outcome.succeeded = true;
        } else {
            id number = [errorInfo valueForKey:NSAppleScriptErrorNumber];
            if (number != nil)
                outcome.errorNumber = [number intValue];
            id message = [errorInfo valueForKey:NSAppleScriptErrorMessage];
            if (message != nil) {
                const char *utf8 = [message cStringUsingEncoding:NSUTF8StringEncoding];
                outcome.errorMessage = utf8 ? std::string(utf8) : std::string();
            }
        }
    }
    return outcome;
}

} // namespace NativePlatform
