#include "front/port_name.h"

#include <cstddef>

bool is_com_port_name(const char* name) {
    // Bounded scan: a name longer than the longest valid one is rejected
    // without walking the whole argument.
    std::size_t length = 0;
    while (length < 7 && name[length] != '\0') {
        ++length;
    }
    if (length < 4 || length > 6) {
        return false;
    }
    if (name[0] != 'C' || name[1] != 'O' || name[2] != 'M') {
        return false;
    }
    for (std::size_t i = 3; i < length; ++i) {
        if (name[i] < '0' || name[i] > '9') {
            return false;
        }
    }
    return true;
}
