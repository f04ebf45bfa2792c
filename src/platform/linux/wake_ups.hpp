#pragma once

// Whether this kernel may fold the wake-ups of two connections that arrive
// together into one waiting thread. Linux before 6.0 leaves a woken thread
// among the waiters until it runs, so that the second arrival may find it
// there and wake no other; since 6.0 the waker takes it out at once. Where
// they may fold, a thread that has taken a connection looks once more for
// another (see ConnectionWaiter::accept_next).
bool wake_ups_may_fold();

// From now on, in this process, as if they might: so that a test on a newer
// kernel runs what an older one needs.
void assume_wake_ups_may_fold();
