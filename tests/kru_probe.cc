// A small program over the tool's own libraries, for behaviour that the kru binary shows only
// on internal faults: it runs under the same supervision and logging as kru.
#include <cstring>
#include <string>
#include <syslog.h>

#include "kru/kru_supervise.h"
#include "platform/log.h"
#include "platform/qz.h"

int main(int argc, char** argv)
{
    kru_log_open();
    int r = kru_supervise();
    if (r != 0)
        return r;
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "panic")
        QZ_ASSERT("kru", argc < 0);
    if (mode == "panic-long")
        qz_panic("%s\n", std::string(100, 'p').c_str());
    if (mode == "critical") {
        kru_critical_enter("critical part start: %s\n", "outer");
        kru_critical_enter("critical part start: %s\n", "inner");
        kru_critical_leave("critical part end: %s\n", "inner");
        kru_critical_leave("critical part end: %s\n", "outer");
    }
    if (mode == "log-long")
        kru_log(LOG_ERR, "%s\n", std::string(400, 'x').c_str());
    kru_log_flush();
    return 0;
}
