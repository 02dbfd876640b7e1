/* Proves that the host interface header compiles as C: builds a record and its callback
 * table the way a C host does, calls through ZL_CALLBACK with the callback typedefs, checks
 * the records' layout and walks the driver catalogue. */
#include <stddef.h>
#include <string.h>

#include "zl_api.h"
#include "zl_catalogue.h"

static int rpmCalls;

static zl_status fakeGetRpm(zl_fan* fan, int* rpm) {
    (void)fan;
    rpmCalls++;
    *rpm = 4200;
    return ZL_STATUS_OK;
}

static zl_status fakeSetRpm(zl_fan* fan, int rpm) {
    fan->host = (zl_word)rpm;
    return rpm < 0 ? ZL_STATUS_BAD_INPUT : ZL_STATUS_OK;
}

/* PsuSlot makes slots and reads "psuId" in newSlot, cut to 8 bits, required, 1 to 2. */
static int capiCheckCatalogue(void) {
    zl_driver_catalogue_fn get = &zl_driver_catalogue;
    const zl_catalogue* catalogue = get();
    unsigned d, a;
    if (catalogue == NULL || catalogue->version != ZL_CATALOGUE_VERSION) return 20;
    for (d = 0; d < catalogue->driverCount; ++d) {
        const zl_driver_entry* entry = &catalogue->drivers[d];
        if (strcmp(entry->name, "PsuSlot") != 0) continue;
        if (!(entry->kinds & ZL_KIND_BIT(ZL_KIND_SLOT))) return 21;
        for (a = 0; a < entry->argCount; ++a) {
            const zl_driver_arg* arg = &entry->args[a];
            if (strcmp(arg->key, "psuId") != 0) continue;
            return arg->call == ZL_CALL_NEW_SLOT && arg->read == ZL_READ_DECIMAL_U8 && arg->required &&
                           arg->min == 1 && arg->max == 2
                       ? 0
                       : 22;
        }
        return 23;
    }
    return 24;
}

/* 0 when every check passes, otherwise the number of the first failed check. */
int capiCheckRecords(void) {
    zl_word fanTable[ZL_FAN_TABLE_WORDS];
    zl_fan fan;
    int rpm = 0;
    unsigned char block[ZL_SMBUS_BLOCK_MAX]; /* a constant expression in C too */
    zl_fan_get_rpm_fn getRpm;
    zl_fan_set_rpm_fn setRpm;

    fanTable[0] = sizeof fanTable;
    fanTable[ZL_FAN_DEBUG_INFO] = 0;
    fanTable[ZL_FAN_GET_RPM] = (zl_word)&fakeGetRpm;
    fanTable[ZL_FAN_SET_RPM] = (zl_word)&fakeSetRpm;
    fan.host = 0;
    fan.callbacks = fanTable;
    fan.object = &rpm;

    if (ZL_TABLE_WORDS(&fan) != ZL_FAN_TABLE_WORDS) return 1;
    if (ZL_CALLBACK(&fan, ZL_FAN_DEBUG_INFO, zl_fan_debug_info_fn) != NULL) return 2;
    getRpm = ZL_CALLBACK(&fan, ZL_FAN_GET_RPM, zl_fan_get_rpm_fn);
    if (getRpm(&fan, &rpm) != ZL_STATUS_OK || rpm != 4200 || rpmCalls != 1) return 3;
    setRpm = ZL_CALLBACK(&fan, ZL_FAN_SET_RPM, zl_fan_set_rpm_fn);
    if (setRpm(&fan, -1) != ZL_STATUS_BAD_INPUT || setRpm(&fan, 900) != ZL_STATUS_OK || fan.host != 900) return 4;

    if (sizeof block != 255 || ZL_SMBUS_BLOCK_PROCESS_CALL != ZL_SMBUS_TABLE_WORDS - 1) return 5;
    if (sizeof(zl_fan) != 3 * sizeof(zl_word) || sizeof(zl_system) != 2 * sizeof(zl_word)) return 8;
    return capiCheckCatalogue();
}
