// The host configuration file: XML whose nested elements under the root form
// slash paths, so "log/level" is <config><log><level>info</level></log></config>.
// Leaf elements carry the values (surrounding whitespace trimmed); attributes,
// comments and the root element's name are ignored.
#pragma once

#include <map>
#include <string>

// Where the configuration file is: $ZARNA_CONFIG when set and not empty,
// otherwise `defaultPath`.
std::string HostConfig_ResolvePath(const std::string &defaultPath);

inline constexpr const char *kHostConfigDefaultPath = "/etc/talvor/cpservices/zarna/config.xml";

// Reads and flattens the file into path -> value. False with a one-line,
// human-readable reason (including the parse error's byte offset) when the file
// cannot be read, is not well-formed XML, nests deeper than 16 levels, is larger
// than 1 MiB, or names one setting twice.
bool HostConfig_Load(const std::string &path, std::map<std::string, std::string> &values,
                     std::string &error);

// As HostConfig_Load, for a document held in memory.
bool HostConfig_Parse(const std::string &document, std::map<std::string, std::string> &values,
                      std::string &error);
