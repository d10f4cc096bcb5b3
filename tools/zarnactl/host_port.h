// Host and port texts as the administrator types them: "host", "host:port",
// "[v6-literal]" and "[v6-literal]:port". An unbracketed text with more than one
// colon is taken as a bare IPv6 literal without port.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace Zarnactl {

struct HostPort {
   std::string host;            // without brackets
   std::optional<int64_t> port; // absent when the text names none
};

// A decimal port from 1 to 65535; false with the reason otherwise.
bool ParsePort(std::string_view text, int64_t &port, std::string &error);

// False with the reason when the text is empty, has an unbalanced bracket, an empty
// host or a bad port.
bool ParseHostPort(std::string_view text, HostPort &out, std::string &error);

// A host alone (brackets around an IPv6 literal are dropped); no port allowed.
bool ParseHost(std::string_view text, std::string &host, std::string &error);

// How a host is written before ":port": IPv6 literals get their brackets back.
std::string HostForDisplay(const std::string &host);

} // namespace Zarnactl
