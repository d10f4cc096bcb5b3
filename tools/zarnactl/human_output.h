// What people see: service tables, one service's details, and the texts of an
// error. Everything the agent sent is made printable first, so a hostile value
// cannot drive the terminal.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/ruvo/data/error_value.h"

namespace Zarnactl {

struct ServiceRow {
   std::string id;
   std::string host;
   std::optional<int64_t> port;
   std::string group;
};

struct ServiceDetail {
   std::string host;
   std::optional<int64_t> port;
   std::string group;
   std::vector<std::string> certificates;
};

// Control characters and invalid UTF-8 become \xNN; everything else is kept.
std::string Printable(std::string_view text);

// "443 (default)" for an absent port.
std::string PortText(const std::optional<int64_t> &port);

void WriteServiceTable(std::ostream &out, const std::vector<ServiceRow> &rows);
void WriteServiceDetail(std::ostream &out, const ServiceDetail &detail);

// One line per message of the error ("zarnactl: " and its text); the error's name
// when it carries no message.
void WriteErrorMessages(std::ostream &err, const Ruvo::Data::ErrorValue &error);

} // namespace Zarnactl
