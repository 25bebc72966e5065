#pragma once

// What both sides of the native layer share to tell which processes run from
// inside a bundle. Plain C++ and no Qt: the macOS side includes it too.

#include <string>
#include <unordered_set>
#include <vector>

namespace NativePlatform {

// A process of the current user as the system lists it. `executable` is empty
// when its path could not be read.
struct ListedProcess
{
    int pid = 0;
    int parentPid = 0;
    std::string executable;
};

// The ids of the listed processes whose executable lies below `bundlePath`
// and a slash, leaving out `self` and its descendants as far as the list
// shows them.
inline std::vector<int> processesInside(const std::vector<ListedProcess> &processes, int self,
                                        const std::string &bundlePath)
{
    std::string prefix = bundlePath;
    while (!prefix.empty() && prefix.back() == '/')
        prefix.pop_back();
    if (prefix.empty())
        return {}; // "/" would hold every process
    prefix += '/';

    // A child may be listed before its parent: grow the set until it holds still.
    std::unordered_set<int> ours{self};
    for (bool grew = true; grew;) {
        grew = false;
        for (const ListedProcess &process : processes)
            if (ours.count(process.parentPid) != 0 && ours.insert(process.pid).second)
                grew = true;
    }

    std::vector<int> inside;
    for (const ListedProcess &process : processes) {
        const bool below =
            process.executable.size() > prefix.size() && process.executable.compare(0, prefix.size(), prefix) == 0;
        if (below && ours.count(process.pid) == 0)
            inside.push_back(process.pid);
    }
    return inside;
}

} // namespace NativePlatform
