#ifndef WHORLGEN_DEVICES_DAC_API_H
#define WHORLGEN_DEVICES_DAC_API_H
/*
 * The C interface of the three laser DAC libraries the program loads at run
 * time: libEZAudDac.so (sound-card DAC), libEasyLase.so (EasyLase card) and
 * libRiyaNetServer_stdcall.so (RIYA device). Our own builds live in devices/;
 * a vendor library with the same file name and entry points replaces them.
 *
 * All calls come from one thread, the program's user-interface thread.
 * A point address is the address of the first of `count` consecutive 8-byte
 * DacPoint records in the program's memory. The library reads them during
 * the call and must not keep the address.
 */

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(WHORLGEN_DAC_LIBRARY_BUILD)
#define DAC_ENTRY __attribute__((visibility("default")))
#else
#define DAC_ENTRY
#endif

/* One laser point as it lies in memory: no padding, little-endian. */
typedef struct DacPoint {
  int16_t x; /* DAC code 0..4095, 2048 = centre */
  int16_t y; /* DAC code 0..4095, 2048 = centre, grows upwards */
  uint8_t r; /* colour levels 0..255 */
  uint8_t g;
  uint8_t b;
  uint8_t i; /* intensity 0..255 */
} DacPoint;

/* ---- libEZAudDac.so and libEasyLase.so: the same entry points in both ---- */

/* EasyLaseGetStatus answers this while the card cannot take a frame yet;
 * every other value lets the program write. */
#define EASYLASE_STATUS_BUSY 2
/* The other answers of our own libraries. */
#define EASYLASE_STATUS_READY 1
#define EASYLASE_STATUS_NO_CARD 0
/* Only libEZAudDac.so: the card failed or cannot be used, and the run should
 * end; EzAudDacGetReport says why. */
#define EASYLASE_STATUS_FAILED 3

/* Called at the start of a run (and in the sound card's close sequence): the number of cards. */
DAC_ENTRY int32_t EasyLaseGetCardNum(void);
/* Polled before each frame until it answers other than EASYLASE_STATUS_BUSY. */
DAC_ENTRY int16_t EasyLaseGetStatus(const int16_t* cardIndex);
/* One frame of frameBytes / 8 points played at pointsPerSec; nonzero if accepted (unused). */
DAC_ENTRY int16_t EasyLaseWriteFrame(const int16_t* cardIndex, const DacPoint* points,
                                     int32_t frameBytes, int32_t pointsPerSec);
/* End of a run: output stops at once and the card is released. */
DAC_ENTRY void EasyLaseClose(void);

/* ---- libEZAudDac.so only: an optional report, outside the calls of a run ----
 * Asked for when EasyLaseGetStatus answers EASYLASE_STATUS_FAILED, and by the
 * Devices window while the library is loaded. A library without it gives no
 * reasons; the calls of a run do not change. Strings end with a zero byte. */
typedef struct EzAudDacReport {
  int32_t cardFound;        /* the last opening found a card */
  int32_t pacedWithoutCard; /* no card: frames are played silently in their own time */
  int32_t channels;         /* channels of the card in use (2 or 6) */
  uint32_t underruns;       /* audio that ran out during the current or last run */
  char device[128];         /* the ALSA device name asked for */
  char noCardReason[256];   /* why the last opening found no card */
  char failure[256];        /* why the current or last run was stopped; empty when it was not */
} EzAudDacReport;

DAC_ENTRY void EzAudDacGetReport(EzAudDacReport* report);

/* ---- libRiyaNetServer_stdcall.so ---- */

/* Start of a run: opens the devices; 0 means none was opened and nothing else is sent. */
DAC_ENTRY uint8_t RiOpenDevices(void);
/* Once after a successful open: channel index 0, value 16. */
DAC_ENTRY void Ri_InitChanal(int32_t index, int32_t value);
/* A block of at most 2000 points; the point rate is 33333333 / period (period in ~30 ns units);
 * mode is always 30. */
DAC_ENTRY void RiSetShowCadr(int32_t index, const DacPoint* points, int32_t count, int32_t period,
                             int32_t mode);
/* Polled before each block: nonzero when the device can take the next block. */
DAC_ENTRY uint8_t Ri_SetIntCh(int32_t index);
/* First step of the close sequence: output stops at once. */
DAC_ENTRY void RiStopShow(int32_t index);
/* Second step of the close sequence: the devices are closed. */
DAC_ENTRY void RiCloseDevices(void);
/* Last step of the close sequence: the library's resources are released. */
DAC_ENTRY void FreeRecource(void);

#ifdef __cplusplus
}
#endif

#endif /* WHORLGEN_DEVICES_DAC_API_H */
