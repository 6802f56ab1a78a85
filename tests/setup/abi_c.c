/* A host written in C. The host headers compile as C, their own layout checks
 * included; then the records as a C compiler lays them out carry values both
 * ways through the library, against the built-in simulator: a settings block
 * filled here opens it, a group write's words reach the controller, and reads
 * hand back words, a float and a string in HostValue as C reads it. */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "mira/mira.h"
#include "mira/portkit_codes.h"

static int failures = 0;
#define CHECK(c) ((c) ? (void)0 : (void)(fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #c), ++failures))

static void Copy(mira_char *to, const char *from) {
    while ((*to++ = (mira_char)*from++) != 0) {
    }
}

/* The built-in simulator answers within milliseconds; 5000 naps of 1 ms only
 * bound a hang. */
static int Nap(int *left) {
    const struct timespec ms = {0, 1000000};
    nanosleep(&ms, NULL);
    return --*left > 0;
}

static int32_t Read(const mira_char *header, const mira_char *const *items, int32_t count, HostValue *values) {
    int32_t error = 0;
    int left = 5000;
    if (UDrvReadGroupStart(u"1", header, items, count, &error) != 1) return error != 0 ? error : -1;
    while (UDrvReadGroupFinishExt(values, 0, count, &error) == 0)
        if (!Nap(&left)) return MIRA_PK_ERR_TIMEOUT;
    return error;
}

int main(void) {
    static DriverSettings settings; /* zero: the defaults */
    Copy(settings.portName, "sim");
    Copy(settings.StationText, "0");
    Copy(settings.ModelText, "SLC500");
    Copy(settings.ModeText, "Standard");
    settings.ErrorCheckOption = 1;
    mira_char version[8] = {0};
    int32_t error = 0;
    if (UDrvOpen(0, &settings, version, &error) != 1 || error != 0) return fprintf(stderr, "no open: %d\n", (int)error), 1;
    CHECK(memcmp(version, u"10.3", sizeof u"10.3") == 0);
    CHECK(UDrvGetType(u"F8:0", u"0") == MIRA_VALUE_DOUBLE && UDrvGetType(u"ST9:0", u"S0.4") == MIRA_VALUE_STRING);

    static const mira_char *const words[] = {u"W0", u"W1", u"W2"};
    HostValueCore writes[2] = {{MIRA_VALUE_INTEGER, 0, {12}}, {MIRA_VALUE_INTEGER, 0, {-3}}};
    int left = 5000;
    CHECK(UDrvWriteGroupStart(u"1", u"N7:40", words, writes, 2, &error) == 1);
    while (UDrvWriteGroupFinish(&error) == 0 && Nap(&left)) {
    }
    CHECK(error == 0);
    HostValue values[3];
    CHECK(Read(u"N7:40", words, 2, values) == 0 && values[0].value.integer == 12 && values[1].value.integer == -3);
    CHECK(Read(u"N7:0", words, 3, values) == 0);
    CHECK(values[0].value.integer == 100 && values[1].value.integer == 200 && values[2].value.integer == -300);
    for (int i = 0; i < 3; ++i)
        CHECK(values[i].valueType == MIRA_VALUE_INTEGER && values[i].quality == MIRA_QUALITY_GOOD &&
              values[i].timestamp.highDateTime != 0);
    static const mira_char *const real[] = {u"0"}, *const text[] = {u"S0.4"};
    CHECK(Read(u"F8:0", real, 1, values) == 0 && values[0].valueType == MIRA_VALUE_DOUBLE &&
          values[0].value.real > 3.14158 && values[0].value.real < 3.1416);
    CHECK(Read(u"ST9:0", text, 1, values) == 0 && values[0].valueType == MIRA_VALUE_STRING &&
          memcmp(values[0].value.text, u"MIRA", sizeof u"MIRA") == 0 && values[0].quality == MIRA_QUALITY_GOOD);
    CHECK(UDrvClose() == 1);
    return failures == 0 ? 0 : 1;
}
