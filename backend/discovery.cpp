#include "backend/discovery.h"

#include "link/discover.h"

#include <cstdio>

int listDevices() {
    for (const T58Device& d : listT58Devices()) {
        printf("direct %s \"%s\" \"%s (USB %s)\" \"%s\" \"USB %s\"\n", d.uri.c_str(), kT58MakeModel,
               kT58MakeModel, d.portPath.c_str(), d.deviceId.c_str(), d.portPath.c_str());
    }
    fflush(stdout);
    return 0;
}
