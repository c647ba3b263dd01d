#include "backend/job.h"

int main(int argc, char** argv) {
    return backendMain(argc, argv);
}
