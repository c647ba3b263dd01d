#include "backend/options.h"

// The PPD calls are marked deprecated in libcups 2.x; they are the calls a backend has.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <cups/ppd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>

int32_t rotationAngle = 0;
int32_t blackness = 0;
int32_t cutterSet = 0;
int32_t horizontalOffset = 0;
int32_t horizontalOffsetValue = 0;
int32_t verticalOffset = 0;
int32_t verticalOffsetValue = 0;
int32_t isDebug = 0;
int32_t stpTemplateCM = 999;
int32_t stpTemplateMM = 0;

namespace {

struct OptionSlot {
    const char* keyword;
    int32_t* value;
};

constexpr OptionSlot kOptions[] = {
    {"RotationAngle", &rotationAngle},
    {"Blackness", &blackness},
    {"CutterSet", &cutterSet},
    {"HorizontalOffset", &horizontalOffset},
    {"HorizontalOffsetValue", &horizontalOffsetValue},
    {"VerticalOffset", &verticalOffset},
    {"VerticalOffsetValue", &verticalOffsetValue},
    {"IsDebug", &isDebug},
    {"StpTemplateCM", &stpTemplateCM},
    {"StpTemplateMM", &stpTemplateMM},
};

} // namespace

// As atoi reads a number, but a value beyond 32 bits saturates instead of being undefined.
int32_t parseLeadingInt(const char* text) {
    while (std::isspace(static_cast<unsigned char>(*text))) {
        ++text;
    }
    bool negative = *text == '-';
    if (*text == '-' || *text == '+') {
        ++text;
    }
    int64_t value = 0;
    constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    for (; std::isdigit(static_cast<unsigned char>(*text)) && value <= kLimit; ++text) {
        value = value * 10 + (*text - '0');
    }
    value = negative ? -value : value;
    if (value > std::numeric_limits<int32_t>::max()) {
        return std::numeric_limits<int32_t>::max();
    }
    if (value < std::numeric_limits<int32_t>::min()) {
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(value);
}

namespace {

struct PpdCloser {
    void operator()(ppd_file_t* ppd) const { ppdClose(ppd); }
};

} // namespace

void getCupsParm() {
    const char* path = std::getenv("PPD");
    if (path == nullptr) {
        return;
    }
    std::unique_ptr<ppd_file_t, PpdCloser> ppd(ppdOpenFile(path));
    if (!ppd) {
        return;
    }
    for (const auto& slot : kOptions) {
        ppd_option_t* option = ppdFindOption(ppd.get(), slot.keyword);
        if (option == nullptr) {
            continue;
        }
        *slot.value = parseLeadingInt(option->defchoice);
        fprintf(stderr, "tarvik_getCupsParm: %s (%s):%s(%d)\n", option->keyword, option->text,
                option->defchoice, *slot.value);
    }
}
