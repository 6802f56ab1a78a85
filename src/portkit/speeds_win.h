// The speed names of port_name.cpp's rate table on Windows, where a DCB takes
// the rate in bits per second itself: each name is its own rate, so the same
// table accepts the same rates on both platforms.
#pragma once

enum : unsigned {
    B110 = 110,
    B300 = 300,
    B600 = 600,
    B1200 = 1200,
    B2400 = 2400,
    B4800 = 4800,
    B9600 = 9600,
    B19200 = 19200,
    B38400 = 38400,
    B57600 = 57600,
    B115200 = 115200,
    B230400 = 230400,
};
