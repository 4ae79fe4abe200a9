// appctl.h - application control (300100 to 300104): start a program, ask an
// application to close, raise its window, report on and cancel requests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "server/server.h"

namespace quonix {

// Results of the control requests, besides 0, 6, 7 (no such application)
// and 8 (the request table is full of requests still under way).
inline constexpr std::uint32_t kUnknownRequest = 30;  // no request with that id
inline constexpr std::uint32_t kNotPending = 31;      // cancel of a request no longer pending

// Request status values (offset 668 of the record).
inline constexpr std::uint32_t kStatusPending = 1;    // waiting for its delay (value 2) to pass
inline constexpr std::uint32_t kStatusRunning = 2;    // start: the program runs; close: asked, not yet ended
inline constexpr std::uint32_t kStatusDone = 3;       // start: the program ended; close: the application ended; top: raised
inline constexpr std::uint32_t kStatusFailed = 4;     // could not be carried out
inline constexpr std::uint32_t kStatusCancelled = 5;

inline constexpr std::uint32_t kMaxControlRequests = 1024;  // kept in the table
inline constexpr std::uint32_t kMaxControlDelayMs = 600000;

bool IsAppControl(std::uint32_t command);
Reply HandleAppControl(const Request& request);

// A program this server started that still runs, for the information block.
struct StartedProgram {
  std::string name;
  std::uint32_t request_id;
  std::uint32_t pid;
  std::uint32_t started_s;  // seconds since the server started
};
std::vector<StartedProgram> AppCtlRunning();
std::uint32_t AppCtlRequestCount();  // control requests accepted since start

// Seconds since the server's first use of this clock (its start).
std::uint32_t ServerSeconds();

}  // namespace quonix
