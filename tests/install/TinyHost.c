/* The smallest host of the installed library: built with the flags of its pkg-config file,
 * linked against it, and asking it for its driver catalogue. */
#include <stdio.h>
#include <string.h>

#include <zl_api.h>
#include <zl_catalogue.h>

/* The services every host defines for the library. */
void zl_trace(int level, const char* format, ...) { (void)level, (void)format; }
uint32_t zl_timer_add(void (*callback)(void*), void* context) { (void)callback, (void)context; return 0; }
int zl_timer_set(uint32_t timer, uint32_t milliseconds) { (void)timer, (void)milliseconds; return -1; }
void zl_timer_delete(uint32_t timer) { (void)timer; }

int main(void) {
    const zl_catalogue* catalogue = zl_driver_catalogue();
    if (!catalogue || catalogue->version != ZL_CATALOGUE_VERSION || catalogue->driverCount == 0) {
        fprintf(stderr, "tiny host: no usable catalogue\n");
        return 1;
    }
    unsigned tmp75 = 0;
    for (unsigned i = 0; i < catalogue->driverCount; ++i)
        tmp75 += strcmp(catalogue->drivers[i].name, "TMP75") == 0;
    printf("drivers %u, TMP75 %u\n", catalogue->driverCount, tmp75);
    return tmp75 == 1 ? 0 : 1;
}
