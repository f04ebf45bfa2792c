#pragma once

// What an operation that either works or does not reports. Every function
// that returns it, or one of the other result codes, is [[nodiscard]]: a
// dropped result is a warning, an error in our own builds.
enum class Status { ok, failed };
