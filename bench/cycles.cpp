// mira_cycles: opens and closes the driver on the built-in simulator again
// and again, with one read in each open period, so that a leak sanitizer or
// valgrind sees whatever an open period leaves behind.
//
//   mira_cycles [CYCLES]     (default 1000; each open takes its four line resets)
#include <cstdio>
#include <cstdlib>
#include <string>

#include "mira/mira.h"

extern "C" void PkYield();

int main(int argc, char** argv) {
    const long cycles = argc > 1 ? std::atol(argv[1]) : 1000;
    DriverSettings s{};
    const std::u16string port = u"sim", model = u"SLC500", mode = u"Standard";
    port.copy(s.portName, port.size());
    model.copy(s.ModelText, model.size());
    mode.copy(s.ModeText, mode.size());
    s.StationText[0] = u'0';
    s.ErrorCheckOption = 1;
    const char16_t* items[] = {u"W0", u"W1"};
    long failed = 0;
    for (long n = 0; n < cycles; ++n) {
        char16_t version[8] = {};
        int32_t error = 0;
        if (UDrvOpen(0, &s, version, &error) != 1 || error != 0) {
            ++failed;
            continue;
        }
        HostValue values[2] = {};
        if (UDrvReadGroupStart(u"1", u"N7:0", items, 2, &error) == 1)
            while (UDrvReadGroupFinishExt(values, 0, 2, &error) == 0) PkYield();
        if (error != 0 || values[0].quality != MIRA_QUALITY_GOOD) ++failed;
        UDrvClose();
    }
    std::printf("mira_cycles: %ld open/read/close cycles, %ld failed\n", cycles, failed);
    return failed == 0 ? 0 : 1;
}
