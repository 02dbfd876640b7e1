/* Proves that the host interface header compiles as C: builds records and callback tables
 * the way a C host sees them and calls through ZL_CALLBACK with the callback typedefs. */
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

static int fakePresence(zl_xcvr* xcvr) { return xcvr->object != NULL; }

static zl_status fakeBlockRead(zl_smbus* smbus, unsigned char command, unsigned char* data, unsigned* length) {
    (void)smbus;
    data[ZL_SMBUS_BLOCK_MAX - 1] = command;
    *length = ZL_SMBUS_BLOCK_MAX;
    return ZL_STATUS_OK;
}

static zl_status fakeReloadCause(zl_system* system, char* cause, long* when, char* text) {
    (void)system;
    cause[0] = 'x';
    cause[1] = '\0';
    *when = 17;
    text[0] = '\0';
    return ZL_STATUS_OK;
}

/* A C host walks the driver catalogue: PsuSlot makes slots and reads "psuId" in newSlot,
 * cut to 8 bits, required, 1 to 2. */
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
            return arg->call == ZL_CALL_NEW_SLOT && arg->read == ZL_READ_DECIMAL_U8 && arg->required && arg->min == 1 &&
                           arg->max == 2
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
    zl_word xcvrTable[ZL_XCVR_TABLE_WORDS];
    zl_word systemTable[ZL_SYSTEM_TABLE_WORDS];
    zl_fan fan;
    zl_xcvr xcvr;
    zl_system system;
    int rpm = 0;
    long when = 0;
    char cause[100];
    char text[500];
    zl_fan_get_rpm_fn getRpm;
    zl_fan_set_rpm_fn setRpm;
    zl_xcvr_presence_fn presence;
    zl_system_get_reload_cause_fn reloadCause;
    zl_word smbusTable[ZL_SMBUS_TABLE_WORDS];
    zl_smbus smbus;
    unsigned char block[ZL_SMBUS_BLOCK_MAX];
    unsigned blockLength = 0;

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

    xcvrTable[0] = sizeof xcvrTable;
    xcvrTable[ZL_XCVR_PORT_TYPE] = ZL_XCVR_TYPE_QSFP;
    xcvrTable[ZL_XCVR_GET_PRESENCE] = (zl_word)&fakePresence;
    xcvr.host = 0;
    xcvr.callbacks = xcvrTable;
    xcvr.object = &xcvr;
    presence = ZL_CALLBACK(&xcvr, ZL_XCVR_GET_PRESENCE, zl_xcvr_presence_fn);
    if (xcvr.callbacks[ZL_XCVR_PORT_TYPE] != ZL_XCVR_TYPE_QSFP || presence(&xcvr) != 1) return 5;

    systemTable[0] = sizeof systemTable;
    systemTable[ZL_SYSTEM_GET_RELOAD_CAUSE] = (zl_word)&fakeReloadCause;
    system.host = 0;
    system.callbacks = systemTable;
    reloadCause = ZL_CALLBACK(&system, ZL_SYSTEM_GET_RELOAD_CAUSE, zl_system_get_reload_cause_fn);
    if (reloadCause(&system, cause, &when, text) != ZL_STATUS_OK || cause[0] != 'x' || when != 17) return 6;
    if (ZL_TABLE_WORDS(&system) != ZL_SYSTEM_TABLE_WORDS) return 7;

    smbusTable[0] = sizeof smbusTable;
    smbusTable[ZL_SMBUS_BLOCK_READ] = (zl_word)&fakeBlockRead;
    smbus.host = 0;
    smbus.callbacks = smbusTable;
    smbus.object = NULL;
    if (ZL_TABLE_WORDS(&smbus) != ZL_SMBUS_TABLE_WORDS || ZL_SMBUS_BLOCK_PROCESS_CALL != ZL_SMBUS_TABLE_WORDS - 1) return 9;
    if (ZL_CALLBACK(&smbus, ZL_SMBUS_BLOCK_READ, zl_smbus_block_read_fn)(&smbus, 7, block, &blockLength) != ZL_STATUS_OK ||
        blockLength != 255 || block[254] != 7)
        return 10;

    if (sizeof(zl_fan) != 3 * sizeof(zl_word) || sizeof(zl_system) != 2 * sizeof(zl_word)) return 8;
    return capiCheckCatalogue();
}
