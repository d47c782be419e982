// The per-user single-instance lock: an exclusive flock on a file in the
// runtime folder, which the kernel drops when the holder dies.
#pragma once

// 0 when this process holds the lock now (*fd is its descriptor);
// EWOULDBLOCK when another process holds it; any other errno value when
// no lock could be made.
int zv_instance_lock(int *fd);

// Releases the lock taken by zv_instance_lock.
void zv_instance_unlock(int fd);
