// The log of ringservervh: stamped lines on standard error, which the hub's
// ring server outlet passes on from its child.
#ifndef VH_TOOLS_RINGSERVERVH_RINGLOG_H_
#define VH_TOOLS_RINGSERVERVH_RINGLOG_H_

// One line "<UTC time> ringservervh: <text>". Any thread.
void ringLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

#endif  // VH_TOOLS_RINGSERVERVH_RINGLOG_H_
