// The per-thread result, error and scratch slots through which every export reports, and their
// publication. Each slot is a heap text owned by the library (or NULL, read as ""); every write
// stores a fresh copy (or takes over a heap text) and frees what the slot held.
#pragma once

#include <cstdint>

// Error slot: a copy of error when code is non-zero and error is not NULL, else "". Result
// slot: a copy of result, or "" for NULL. A copy that cannot be allocated leaves its slot NULL.
void kojelly_publish(int32_t code, const char *error, const char *result);
// As kojelly_publish, but the result slot takes over result (a heap text, or NULL for "")
// instead of copying it.
void kojelly_publish_owned(int32_t code, const char *error, char *result);

namespace kojelly {

// Sets the calling thread's error slot to a copy of text ("" for NULL).
void set_error_slot(const char *text);
// Stores a copy of text in the calling thread's scratch slot and returns the slot's text, or
// NULL (slot unchanged) when the copy cannot be allocated.
const char *set_scratch(const char *text);
// Hands an owned heap text to the scratch slot, freeing what it held; returns the text.
const char *adopt_scratch(char *text);

}  // namespace kojelly
