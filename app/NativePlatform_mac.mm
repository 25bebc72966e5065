// macOS side of the native layer: AppKit for the title bar, Foundation for the
// bundle path and the privileged AppleScript, libproc for the processes. No Qt
// headers here. Built with ARC, so the script object is released when it goes
// out of scope.

#include "NativePlatform.h"

#include "NativePlatform_p.h"

#import <AppKit/AppKit.h>
#import <Foundation/Foundation.h>

#include <libproc.h>
#include <sys/proc_info.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace {

// proc_listallpids fills an array of pid_t and counts it in ints.
static_assert(sizeof(pid_t) == sizeof(int), "pid_t is an int");

// Every process id, read with proc_listallpids (its buffer size in bytes, its
// result a number of pids, -1 on failure). Without a buffer it tells how many
// there are now; more may start before the second call, hence the headroom,
// and a list that fills the buffer may be cut short, so it is asked again with
// more room. After the last try the list is taken as it is.
std::vector<pid_t> allProcessIds()
{
    std::vector<pid_t> pids;
    int estimate = proc_listallpids(nullptr, 0);
    for (int attempt = 0; estimate > 0 && attempt < 4; ++attempt) {
        pids.assign(static_cast<std::size_t>(estimate) + 64, 0);
        const int count = proc_listallpids(pids.data(), static_cast<int>(pids.size() * sizeof(pid_t)));
        if (count < 0)
            return {};
        const bool complete = static_cast<std::size_t>(count) < pids.size();
        pids.resize(static_cast<std::size_t>(count));
        if (complete)
            break;
        estimate = count * 2;
    }
    return pids;
}

} // namespace

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

int processId()
{
    return getpid();
}

// proc_pidinfo's PROC_PIDTBSDINFO gives the owner (pbi_uid, the effective
// user, the one proc_listpids' PROC_UID_ONLY would compare) and the parent
// (pbi_ppid) in one call: the parent is needed anyway to leave out the
// processes we started, so the whole list is read rather than the user's.
std::vector<int> processesInsideBundle(const std::string &bundlePath)
{
    const uid_t user = getuid();
    std::vector<ListedProcess> processes;
    for (const pid_t pid : allProcessIds()) {
        if (pid <= 0) // 0 is the kernel
            continue;
        struct proc_bsdinfo info = {};
        // Fewer bytes than asked for: gone meanwhile, or not ours to inspect.
        if (proc_pidinfo(pid, PROC_PIDTBSDINFO, 0, &info, static_cast<int>(sizeof info)) !=
            static_cast<int>(sizeof info))
            continue;
        if (info.pbi_uid != user)
            continue;
        // The length of the path on success, 0 for a process without an
        // executable to show (a zombie) or one we may not inspect.
        char path[PROC_PIDPATHINFO_MAXSIZE];
        const int length = proc_pidpath(pid, path, static_cast<uint32_t>(sizeof path));
        processes.push_back({pid, static_cast<int>(info.pbi_ppid),
                             length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string()});
    }
    return processesInside(processes, getpid(), bundlePath);
}

} // namespace NativePlatform
