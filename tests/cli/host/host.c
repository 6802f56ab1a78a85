/* A host of a few lines, built against an installed MIRA. */
#include <mira/mira.h>
#include <stdio.h>

int main(void) {
    static const mira_char model[] = u"slc500";
    const int32_t verdict = UDrvValidString1(model);
    printf("slc500: %d\n", (int)verdict);
    return verdict == 0 ? 0 : 1;
}
