// The batch hooks of an instance (LAUNCH.BAT, BETWEEN.BAT): files in the
// program directory whose name matches in any letter case.
#pragma once

#include <string>

// dir + the hook's file name when a hook named `name` (upper case) is there:
// the exact name first, else the first entry, in name order, equal to `name`
// in any letter case. Only a file, or a link to one, counts; a directory of
// that name is not a hook. Empty when there is none. dir ends with "/".
std::string FindHook(const std::string& dir, const std::string& name);
