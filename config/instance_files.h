// The files the program creates or replaces in its instance directory,
// beside ZVMAIL32.INI (the configuration, ZVMAIL32.UID, ZVMAIL32.SNT,
// ZVMAIL32.TOK and the log), belong to the owner and group of
// ZVMAIL32.INI, or of the directory while there is none: a run as root then
// leaves nothing the service account could not replace at its next run.
//
// Error convention: ReplaceInstanceFile and MayFollowConfigLink return false
// with the reason in words; AdoptInstanceOwner is best effort.
#pragma once

#include <optional>
#include <string>

#include "platform/filing.h"

// The owner files of the instance directory `programDir` (with its final
// "/") take.
std::optional<plat::FileOwner> InstanceOwner(const std::string& programDir);

// plat::ReplaceFile of programDir + name, the new file owned as above.
bool ReplaceInstanceFile(const std::string& programDir, const std::string& name, const std::string& bytes,
                         unsigned mode, bool durable, std::string& why);

// Gives the open file `fd`, named `path`, the instance's owner when it lies
// in the instance directory under that name alone (never through a link).
void AdoptInstanceOwner(int fd, const std::string& path, const std::string& programDir);

// Whether a run may write `target`, where the link ZVMAIL32.INI of
// `programDir` leads: as root only to a regular file the directory's owner
// owns, so a link planted there cannot have root overwrite another's file.
// Any other user writes only what the system lets it.
bool MayFollowConfigLink(const std::string& programDir, const std::string& target, std::string& why);
