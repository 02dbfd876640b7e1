/*
 * Host interface of the OrvikS platform driver library (libZoltaDriversOrvikS.so.0).
 *
 * The host calls one init function per kind with the board's topology (JSON text), then
 * add functions with device texts (JSON) and drives each returned record through the
 * callback table its word 1 points to. Every word of a record and of a callback table is
 * pointer-sized. Word 0 of a callback table is the table's size in bytes.
 *
 * The host defines the services declared at the end of this file (zl_trace and the timer
 * service; zl_fd_watcher_delete is optional). The library does not define them.
 *
 * Usable from C and C++.
 */
#ifndef ZL_API_H
#define ZL_API_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int zl_status;      /* result of every host-facing operation */
typedef uintptr_t zl_word;  /* one word of a host record or callback table */
typedef int zl_led_status;  /* light setting, ZL_LED_OFF .. ZL_LED_BEACON */

#define ZL_STATUS_OK 0
#define ZL_STATUS_NOT_FOUND 1      /* nothing usable found: empty bay, unit not identified */
#define ZL_STATUS_DEVICE_FAULT 2   /* the device reports a fault, or a byte of no known meaning */
#define ZL_STATUS_BAD_INPUT 3      /* bad input: topology text that isn't JSON, rejected setting */
#define ZL_STATUS_NO_COMM 4        /* no communication with the hardware */
#define ZL_STATUS_NOT_PROVIDED 5   /* operation not provided */
#define ZL_STATUS_FAILED 6         /* operation failed */

#define ZL_LED_OFF 0
#define ZL_LED_GOOD 1
#define ZL_LED_WARNING 2
#define ZL_LED_BAD 3
#define ZL_LED_INACTIVE 4
#define ZL_LED_UNKNOWN 5
#define ZL_LED_BEACON 6

/* Host records: word 0 belongs to the host, word 1 points to the kind's callback table,
 * word 2 to the library object that contains the record. */
#define ZL_DECLARE_RECORD(kind) \
    typedef struct kind { zl_word host; const zl_word* callbacks; void* object; } kind

ZL_DECLARE_RECORD(zl_slot);
ZL_DECLARE_RECORD(zl_led);
ZL_DECLARE_RECORD(zl_temp_sensor);
ZL_DECLARE_RECORD(zl_fan);
ZL_DECLARE_RECORD(zl_xcvr);
ZL_DECLARE_RECORD(zl_psu);
ZL_DECLARE_RECORD(zl_gpio);
ZL_DECLARE_RECORD(zl_smbus);

#undef ZL_DECLARE_RECORD

typedef struct zl_system { zl_word host; const zl_word* callbacks; } zl_system;

/* Fetches callback `index` of a record's table as a function pointer of type `type`;
 * null when the library offers no operation there. */
#define ZL_CALLBACK(record, index, type) ((type)((record)->callbacks[(index)]))
/* Number of words of a record's callback table. */
#define ZL_TABLE_WORDS(record) ((record)->callbacks[0] / sizeof(zl_word))

/* ---- slot: size word then getPresence ---- */
enum { ZL_SLOT_GET_PRESENCE = 1, ZL_SLOT_TABLE_WORDS = 2 };
typedef zl_status (*zl_slot_get_presence_fn)(zl_slot*, char** fdl); /* host frees *fdl */

/* ---- temperature sensor: size, null, getTemperature ---- */
enum { ZL_TEMP_GET_TEMPERATURE = 2, ZL_TEMP_TABLE_WORDS = 3 };
typedef zl_status (*zl_temp_get_temperature_fn)(zl_temp_sensor*, float* celsius);

/* ---- fan: size, debugInfo, getRpm, setRpm ---- */
enum { ZL_FAN_DEBUG_INFO = 1, ZL_FAN_GET_RPM = 2, ZL_FAN_SET_RPM = 3, ZL_FAN_TABLE_WORDS = 4 };
typedef zl_status (*zl_fan_debug_info_fn)(zl_fan*, char** info);
typedef zl_status (*zl_fan_get_rpm_fn)(zl_fan*, int* rpm);
typedef zl_status (*zl_fan_set_rpm_fn)(zl_fan*, int rpm);

/* ---- power supply: size, null, power ok, input current, output current, input voltage,
 *      output voltage, input power, output power ---- */
enum {
    ZL_PSU_GET_POWER_OK = 2,
    ZL_PSU_GET_INPUT_CURRENT = 3,
    ZL_PSU_GET_OUTPUT_CURRENT = 4,
    ZL_PSU_GET_INPUT_VOLTAGE = 5,
    ZL_PSU_GET_OUTPUT_VOLTAGE = 6,
    ZL_PSU_GET_INPUT_POWER = 7,
    ZL_PSU_GET_OUTPUT_POWER = 8,
    ZL_PSU_TABLE_WORDS = 9
};
typedef zl_status (*zl_psu_get_int_fn)(zl_psu*, int*);
typedef zl_status (*zl_psu_get_float_fn)(zl_psu*, float*);

/* ---- GPIO: size, bitSet, bitClear, bitRead ---- */
enum { ZL_GPIO_BIT_SET = 1, ZL_GPIO_BIT_CLEAR = 2, ZL_GPIO_BIT_READ = 3, ZL_GPIO_TABLE_WORDS = 4 };
typedef zl_status (*zl_gpio_bit_op_fn)(zl_gpio*);
typedef zl_status (*zl_gpio_bit_read_fn)(zl_gpio*, unsigned* bit);

/* ---- LED: size, setLightSetting ---- */
enum { ZL_LED_SET_LIGHT_SETTING = 1, ZL_LED_TABLE_WORDS = 2 };
typedef zl_status (*zl_led_set_light_setting_fn)(zl_led*, zl_led_status);

/* ---- transceiver: size, port type, size of the type's part, then the type's callbacks ---- */
enum {
    ZL_XCVR_PORT_TYPE = 1,   /* 0 SFP, 1 QSFP */
    ZL_XCVR_PART_SIZE = 2,
    ZL_XCVR_GET_PRESENCE = 3,
    /* SFP */
    ZL_SFP_GET_TX_FAULT = 4,
    ZL_SFP_GET_RX_LOS = 5,
    ZL_SFP_GET_TX_DISABLE = 6,
    ZL_SFP_SET_TX_DISABLE = 7,
    /* QSFP */
    ZL_QSFP_GET_MOD_SEL = 4,
    ZL_QSFP_SET_MOD_SEL = 5,
    ZL_QSFP_GET_LP_MODE = 6,
    ZL_QSFP_SET_LP_MODE = 7,
    ZL_QSFP_GET_RESET = 8,
    ZL_QSFP_SET_RESET = 9,
    ZL_QSFP_GET_INTERRUPT = 10,
    ZL_XCVR_TABLE_WORDS = 11
};
#define ZL_XCVR_TYPE_SFP 0
#define ZL_XCVR_TYPE_QSFP 1
typedef int (*zl_xcvr_presence_fn)(zl_xcvr*);
typedef zl_status (*zl_xcvr_get_fn)(zl_xcvr*, int*);
typedef zl_status (*zl_xcvr_set_fn)(zl_xcvr*, int);

/* ---- SMBus proxy: size, then thirteen operations ---- */
enum {
    ZL_SMBUS_QUICK_COMMAND = 1,
    ZL_SMBUS_RECEIVE_BYTE = 2,
    ZL_SMBUS_SEND_BYTE = 3,
    ZL_SMBUS_READ_BYTE = 4,
    ZL_SMBUS_WRITE_BYTE = 5,
    ZL_SMBUS_READ_WORD = 6,
    ZL_SMBUS_WRITE_WORD = 7,
    ZL_SMBUS_BLOCK_READ = 8,
    ZL_SMBUS_BLOCK_WRITE = 9,
    ZL_SMBUS_I2C_BLOCK_READ = 10,
    ZL_SMBUS_I2C_BLOCK_WRITE = 11,
    ZL_SMBUS_PROCESS_CALL = 12,
    ZL_SMBUS_BLOCK_PROCESS_CALL = 13,
    ZL_SMBUS_TABLE_WORDS = 14
};
/* Most data bytes of one SMBus block (SMBus 3.0): blockRead's data buffer must hold this many;
 * a longer answer is refused (status 6) and the block operations take no longer length
 * (status 3). */
#define ZL_SMBUS_BLOCK_MAX 255
typedef zl_status (*zl_smbus_quick_command_fn)(zl_smbus*, int);
typedef zl_status (*zl_smbus_receive_byte_fn)(zl_smbus*, unsigned char*);
typedef zl_status (*zl_smbus_send_byte_fn)(zl_smbus*, unsigned char);
typedef zl_status (*zl_smbus_read_byte_fn)(zl_smbus*, unsigned char, unsigned char*);
typedef zl_status (*zl_smbus_write_byte_fn)(zl_smbus*, unsigned char, unsigned char);
typedef zl_status (*zl_smbus_read_word_fn)(zl_smbus*, unsigned char, unsigned short*);
typedef zl_status (*zl_smbus_write_word_fn)(zl_smbus*, unsigned char, unsigned short);
typedef zl_status (*zl_smbus_block_read_fn)(zl_smbus*, unsigned char, unsigned char*, unsigned*);
typedef zl_status (*zl_smbus_block_write_fn)(zl_smbus*, unsigned char, const unsigned char*, unsigned);
typedef zl_status (*zl_smbus_i2c_block_read_fn)(zl_smbus*, unsigned char, unsigned char*, unsigned);
typedef zl_status (*zl_smbus_i2c_block_write_fn)(zl_smbus*, unsigned char, const unsigned char*, unsigned);
typedef zl_status (*zl_smbus_process_call_fn)(zl_smbus*, unsigned char, unsigned short, unsigned short*);
typedef zl_status (*zl_smbus_block_process_call_fn)(zl_smbus*, unsigned char, const unsigned char*,
                                                     unsigned char, unsigned char*, unsigned char*);

/* ---- system: size, null, powercycle, get_reload_cause, null ---- */
enum { ZL_SYSTEM_POWERCYCLE = 2, ZL_SYSTEM_GET_RELOAD_CAUSE = 3, ZL_SYSTEM_TABLE_WORDS = 5 };
typedef zl_status (*zl_system_powercycle_fn)(zl_system*);
typedef zl_status (*zl_system_get_reload_cause_fn)(zl_system*, char* cause /* 100 */, long* when,
                                                    char* text /* 500 */);

/* ---- exported by the library ---- */
zl_status zl_system_init(const char* topology);
zl_status zl_slot_init(const char* topology);
zl_status zl_led_init(const char* topology);
zl_status zl_temp_sensor_init(const char* topology);
zl_status zl_fan_init(const char* topology);
zl_status zl_xcvr_init(const char* topology);
zl_status zl_psu_init(const char* topology);
zl_status zl_gpio_init(const char* topology);
zl_status zl_smbus_init(const char* topology);

zl_system* zl_system_add(const char* devArgs);
zl_slot* zl_slot_add(const char* devArgs);
zl_led* zl_led_add(const char* devArgs);
zl_temp_sensor* zl_temp_sensor_add(const char* devArgs, float alert, float critical);
zl_fan* zl_fan_add(const char* devArgs);
zl_xcvr* zl_xcvr_add(const char* devArgs);
zl_psu* zl_psu_add(const char* devArgs);
zl_gpio* zl_gpio_add(const char* devArgs);
zl_smbus* zl_smbus_add(const char* devArgs, unsigned char address);

/* ---- host services: defined by the host, bound when the library is loaded ---- */
void zl_trace(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
uint32_t zl_timer_add(void (*callback)(void* context), void* context); /* 0 on failure */
int zl_timer_set(uint32_t timer, uint32_t milliseconds);             /* 0 on success */
void zl_timer_delete(uint32_t timer);
void zl_fd_watcher_delete(uint32_t watcher); /* optional */

#ifdef __cplusplus
} /* extern "C" */

namespace Drivers {
/* Appends key = value (both JSON strings) to the "driverArgs" object of a device text and
 * stores the new compact ASCII text, allocated with malloc, in *out. False on a bad text. */
bool insertDriverArg(const char* json, char** out, const char* key, const char* value);
}
#endif

#endif /* ZL_API_H */
