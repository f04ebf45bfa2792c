#include "startup/privileges.hpp"

#include <cstdint>
#include <cstdlib>
#include <grp.h>
#include <unistd.h>

namespace {

// A decimal id and nothing else; false for anything that is not one.
bool read_id(const char* text, uint32_t& id) {
    if (text == nullptr || *text == '\0') {
        return false;
    }
    uint64_t value = 0;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') {
            return false;
        }
        value = value * 10 + static_cast<uint64_t>(*text - '0');
        // (uid_t)-1 means "no change" to the set-id calls.
        if (value >= UINT32_MAX) {
            return false;
        }
    }
    id = static_cast<uint32_t>(value);
    return true;
}

bool runs_as(uid_t uid, gid_t gid) {
    uid_t real_uid, effective_uid, saved_uid;
    gid_t real_gid, effective_gid, saved_gid;
    return getresuid(&real_uid, &effective_uid, &saved_uid) == 0 &&
           getresgid(&real_gid, &effective_gid, &saved_gid) == 0 && real_uid == uid &&
           effective_uid == uid && saved_uid == uid && real_gid == gid && effective_gid == gid &&
           saved_gid == gid;
}

} // namespace

int give_up_root() {
    const char* uid_text = std::getenv("SUDO_UID");
    const char* gid_text = std::getenv("SUDO_GID");
    if (geteuid() != 0 || (uid_text == nullptr && gid_text == nullptr)) {
        return 0;
    }
    // Either both say who started us, or we do not serve at all: running on
    // as root is not the safe way to fail.
    uint32_t uid = 0;
    uint32_t gid = 0;
    if (!read_id(uid_text, uid) || !read_id(gid_text, gid)) {
        return 1;
    }
    // Groups first: once the user id has changed, they can no longer be.
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) {
        return 1;
    }
    return runs_as(uid, gid) ? 0 : 1;
}
