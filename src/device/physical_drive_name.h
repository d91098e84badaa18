#pragma once

#include <string>

// "\\.\PHYSICALDRIVE<number>", the name a physical drive opens by.
inline std::string PhysicalDriveName(int number) {
    return "\\\\.\\PHYSICALDRIVE" + std::to_string(number);
}
