// The membership decision for the current request (chkuser, chkgroup).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

constexpr size_t GROUP_BUFFER_SIZE = 30000;

extern uint8_t group_buffer[GROUP_BUFFER_SIZE];

// RESULT_MEMBER when chkuser is a member of chkgroup, RESULT_NOT_MEMBER when
// not (an unknown user, a user without groups included); RESULT_UNREACHABLE
// or RESULT_FAILED when the directory could not tell (frontend/request.h).
int check_group();
// The answer to a request while no server can be reached: RESULT_UNREACHABLE,
// with Debug the reason and the decision line.
int check_group_unreachable();

// 0 when the stored typed name (little-endian 16-bit code units) names the
// typeless dotted group; 1 otherwise.
int compare_group_name(std::span<const uint8_t> name, const char* group);
