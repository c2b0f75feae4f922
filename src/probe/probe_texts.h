// Texts the probe and the scan write into the window, as code page 936
// bytes; the Chinese is given beside each.
#ifndef DNSCHECK_PROBE_PROBE_TEXTS_H
#define DNSCHECK_PROBE_PROBE_TEXTS_H

const char* const TextVerifying = "\xD5\xFD\xD4\xDA\xD1\xE9\xD6\xA4";  // 正在验证
const char* const TextRefused = "\xBE\xDC\xBE\xF8\xBD\xE2\xCE\xF6";    // 拒绝解析
const char* const TextInvalid = "\xCE\xDE\xD0\xA7\xBD\xE2\xCE\xF6";    // 无效解析
const char* const TextTimedOut = "\xC7\xEB\xC7\xF3\xB3\xAC\xCA\xB1";   // 请求超时
const char* const TextChecking = "\xBC\xEC\xB2\xE2\xD6\xD0";           // 检测中
const char* const TextNo = "\xB7\xF1";                                 // 否
const char* const TextYes = "\xCA\xC7";                                // 是
const char* const TextTamperTimedOut = "\xB3\xAC\xCA\xB1";             // 超时
const char* const TextUnfinished = "\xCE\xB4\xCD\xEA\xB3\xC9";         // 未完成
const char* const LatencyFormat = "%d ms";

// 线程数: %d  扫描进度: %d/%d
const char* const ProgressTitle =
    "\xCF\xDF\xB3\xCC\xCA\xFD: %d  \xC9\xA8\xC3\xE8\xBD\xF8\xB6\xC8: %d/%d";

#endif
