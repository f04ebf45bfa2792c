#pragma once

// Started as root through sudo, gives root up for good: switches to the
// invoking user and group (SUDO_UID, SUDO_GID) and drops the supplementary
// groups. Started any other way, changes nothing. Returns 0, or 1 when root
// could not be given up (the server must then not serve).
int give_up_root();
