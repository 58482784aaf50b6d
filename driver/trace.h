/*
 * Software tracing for the driver: one provider, and the flags its traces use.
 *
 *   TRACE_DRIVER (0x2)  every trace of the driver
 *   TRACE_QUEUE  (0x8)  the default queue's own traces
 *
 * Levels: TRACE_LEVEL_ERROR for every failure (with its status),
 * TRACE_LEVEL_INFORMATION for progress and values, TRACE_LEVEL_VERBOSE for
 * routine entry and exit. Each source unit includes this header and then its
 * own "<unit>.tmh".
 */
#pragma once

// Control GUID {A938B846-C941-4EE8-AF74-FE935D2E5DA5}
#define WPP_CONTROL_GUIDS                                                                            \
    WPP_DEFINE_CONTROL_GUID(TavrixTraceGuid, (A938B846, C941, 4EE8, AF74, FE935D2E5DA5),          \
                            WPP_DEFINE_BIT(MYDRIVER_ALL_INFO) /* 0x1 */                               \
                            WPP_DEFINE_BIT(TRACE_DRIVER)      /* 0x2 */                               \
                            WPP_DEFINE_BIT(TRACE_DEVICE)      /* 0x4 */                               \
                            WPP_DEFINE_BIT(TRACE_QUEUE)       /* 0x8 */                               \
    )

#define WPP_FLAG_LEVEL_LOGGER(flag, level) WPP_LEVEL_LOGGER(flag)
#define WPP_FLAG_LEVEL_ENABLED(flag, level) (WPP_LEVEL_ENABLED(flag) && WPP_CONTROL(WPP_BIT_##flag).Level >= (level))
#define WPP_LEVEL_FLAGS_LOGGER(lvl, flags) WPP_LEVEL_LOGGER(flags)
#define WPP_LEVEL_FLAGS_ENABLED(lvl, flags) (WPP_LEVEL_ENABLED(flags) && WPP_CONTROL(WPP_BIT_##flags).Level >= (lvl))

// The in-flight recorder (WppRecorderEnabled in tavrix.vcxproj): every trace
// also goes to the driver's default recorder log, which WPP_INIT_TRACING
// creates and WPP_CLEANUP deletes, and which a debugger reads without a trace
// session (!rcdrkd.rcdrlogdump tavrix). The log keeps errors, warnings and
// information always, and verbose traces only while its verbose setting is on.
#define WPP_RECORDER_LEVEL_FLAGS_ARGS(lvl, flags) WPP_CONTROL(WPP_BIT_##flags).AutoLogContext, lvl, WPP_BIT_##flags
#define WPP_RECORDER_LEVEL_FLAGS_FILTER(lvl, flags) \
    ((lvl) < TRACE_LEVEL_VERBOSE || WPP_CONTROL(WPP_BIT_##flags).AutoLogVerboseEnabled)

//
// begin_wpp config
// FUNC TraceEvents(LEVEL, FLAGS, MSG, ...);
// end_wpp
//
