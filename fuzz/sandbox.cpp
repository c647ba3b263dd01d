#include "fuzz/sandbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <string>

bool enterPrivateShm() {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tarvik-fuzz", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "size=256m,mode=1777") !=
            0) {
        perror("fuzz: no private /dev/shm (needs root or CAP_SYS_ADMIN)");
        return false;
    }
    return true;
}

void clearShm() {
    DIR* dir = opendir("/dev/shm");
    if (dir == nullptr) {
        return;
    }
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            unlinkat(dirfd(dir), name.c_str(), 0);
        }
    }
    closedir(dir);
}
