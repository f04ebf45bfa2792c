#pragma once

// The Content-Type of a file, from the extension of the last name in its
// path (the text after its last "."), compared ignoring ASCII case.
// Anything not in the table gets "application/octet-stream".
const char* content_type_for(const char* path);
