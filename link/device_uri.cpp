#include "link/device_uri.h"

#include <cups/http.h>

#include <cstring>

namespace {

constexpr char kSerialKey[] = "serial=";

// The value of serial= among the query's &-separated fields, as it stands.
std::string serialField(const char* query) {
    for (const char* field = query; field != nullptr && *field != '\0';) {
        const char* end = std::strchr(field, '&');
        const size_t len = end != nullptr ? static_cast<size_t>(end - field) : std::strlen(field);
        const size_t keyLen = sizeof(kSerialKey) - 1;
        if (len >= keyLen && std::strncmp(field, kSerialKey, keyLen) == 0) {
            return std::string(field + keyLen, len - keyLen);
        }
        field = end != nullptr ? end + 1 : nullptr;
    }
    return {};
}

} // namespace

std::string serialOfDeviceUri(const char* uri) {
    if (uri == nullptr) {
        return {};
    }
    char scheme[32];
    char userpass[256];
    char host[256];
    char resource[1024];
    int port = 0;
    // HTTP_URI_CODING_ALL decodes the percent-encoding of the whole resource, query included.
    if (httpSeparateURI(HTTP_URI_CODING_ALL, uri, scheme, sizeof scheme, userpass, sizeof userpass,
                        host, sizeof host, &port, resource, sizeof resource) < HTTP_URI_STATUS_OK) {
        return {};
    }
    const char* query = std::strchr(resource, '?');
    return query != nullptr ? serialField(query + 1) : std::string();
}
