#pragma once

// What an operation that either works or does not reports. The mark is on
// the type, so that every call that drops it is a warning (an error in our
// own builds): a failure is always looked at.
enum class [[nodiscard]] Status { ok, failed };
