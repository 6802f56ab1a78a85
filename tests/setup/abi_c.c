/* A host written in C. The host headers compile as C, their own layout checks
 * included; then the records as a C compiler lays them out carry values both
 * ways through the library, against the built-in simulator: a settings block
 * filled here opens it, a group write's values reach the controller, and
 * reads hand back words, a float and a string in HostValue as C reads it. */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "mira/mira.h"
#include "mira/portkit_codes.h"

static int failures = 0;

#define CHECK(condition)                                                        \
    do {                                                                        \
        if (!(condition)) {                                                     \
            fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #condition);      \
            ++failures;                                                         \
        }                                                                       \
    } while (0)

static void Copy(mira_char *to, size_t size, const char *from) {
    size_t i = 0;
    for (; from[i] != 0 && i + 1 < size; ++i) to[i] = (mira_char)from[i];
    to[i] = 0;
}

/* The built-in simulator answers within milliseconds; 5 s of 1 ms naps is
 * only a bound against a hang. */
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
    DriverSettings settings;
    memset(&settings, 0, sizeof settings);
    Copy(settings.portName, 128, "sim");
    Copy(settings.StationText, 82, "0");
    Copy(settings.ModelText, 82, "SLC500");
    Copy(settings.ModeText, 82, "Standard");
    settings.ErrorCheckOption = 1;
    mira_char version[8] = {0};
    int32_t error = 0;
    if (UDrvOpen(0, &settings, version, &error) != 1 || error != 0) {
        fprintf(stderr, "the built-in simulator did not open: %d\n", (int)error);
        return 1;
    }
    CHECK(memcmp(version, u"10.3", 5 * sizeof(mira_char)) == 0);
    CHECK(UDrvGetType(u"F8:0", u"0") == 2 && UDrvGetType(u"ST9:0", u"S0.4") == 3);

    /* Words written from HostValueCore records, read back with the samples. */
    static const mira_char *const written[] = {u"W0", u"W1"};
    HostValueCore writes[2];
    memset(writes, 0, sizeof writes);
    writes[0].valueType = writes[1].valueType = MIRA_VALUE_INTEGER;
    writes[0].value.integer = 12;
    writes[1].value.integer = -3;
    int left = 5000;
    CHECK(UDrvWriteGroupStart(u"1", u"N7:40", written, writes, 2, &error) == 1);
    while (UDrvWriteGroupFinish(&error) == 0 && Nap(&left)) {
    }
    CHECK(error == 0);

    HostValue values[3];
    memset(values, 0, sizeof values);
    CHECK(Read(u"N7:40", written, 2, values) == 0);
    CHECK(values[0].value.integer == 12 && values[1].value.integer == -3);
    static const mira_char *const samples[] = {u"W0", u"W1", u"W2"};
    CHECK(Read(u"N7:0", samples, 3, values) == 0);
    for (int i = 0; i < 3; ++i) {
        CHECK(values[i].valueType == MIRA_VALUE_INTEGER && values[i].quality == MIRA_QUALITY_GOOD);
        CHECK(values[i].timestamp.highDateTime != 0);
    }
    CHECK(values[0].value.integer == 100 && values[1].value.integer == 200 && values[2].value.integer == -300);

    static const mira_char *const real[] = {u"0"};
    CHECK(Read(u"F8:0", real, 1, values) == 0);
    CHECK(values[0].valueType == MIRA_VALUE_DOUBLE && values[0].value.real > 3.14158 && values[0].value.real < 3.1416);
    static const mira_char *const text[] = {u"S0.4"};
    CHECK(Read(u"ST9:0", text, 1, values) == 0);
    CHECK(values[0].valueType == MIRA_VALUE_STRING && memcmp(values[0].value.text, u"MIRA", 5 * sizeof(mira_char)) == 0);
    CHECK(values[0].quality == MIRA_QUALITY_GOOD);

    CHECK(UDrvClose() == 1);
    if (failures == 0) printf("a C host read and wrote through every record\n");
    return failures == 0 ? 0 : 1;
}
