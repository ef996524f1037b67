// The report actions on a provisioned device: the information dump and the CSV reports, byte
// for byte, and the arguments they refuse.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "hostconfig/hostconfig.h"
#include "krul/krul.h"
#include "tests/support/kru_run.h"

namespace {

// A device described the way a provisioning script does it: a safe set and two upgrade sets
// over kernel, root file system and application pools, and the singleton pool misc that all
// three share (on /dev/mtd6, held by entry 15).
struct ProvisionedDevice : testing::Test {
    sandbox sb_;
    void SetUp() override
    {
        sb_.make_mtd(5, 262144, 65536);
        sb_.make_mtd(2, 262144, 65536);
        const std::vector<std::string> steps[] = {
            {"initialize"},
            {"partinfo", "7", "kernel", "0x400000", "-meta=1.0.100", "-metalength=3145728", "-metacrc=305419896"},
            {"partinfo", "8", "rootfs", "0x1800000", "-fstype=squashfs", "-mount=/", "-meta=1.0.100"},
            {"partinfo", "9", "kernel", "0x400000", "-meta=1.2.7"},
            {"partinfo", "10", "rootfs", "0x1800000", "-fstype=squashfs", "-mount=/", "-meta=1.2.7"},
            {"partinfo", "11", "kernel", "4194304"},
            {"partinfo", "12", "rootfs", "0x1800000", "-fstype=squashfs", "-mount=/"},
            {"partinfo", "13", "appl", "0x2000000", "-fstype=jffs2", "-mount=/mnt/appl", "-meta=1.2.7"},
            {"partinfo", "14", "appl", "0x2000000", "-fstype=jffs2", "-mount=/mnt/appl"},
            {"partinfo", "19", "appl", "0x1000000", "-fstype=jffs2", "-mount=/mnt/appl", "-meta=1.0.100"},
            {"partinfo", "15", "misc", "0x100000", "-pn=6", "-offset=40000", "-fstype=jffs2", "-mount=/mnt/misc"},
            {"partset", "0", "SAFESET", "-refs=7,8,19,15", "-meta=1.0.100"},
            {"partset", "1", "SET1", "-refs=9,10,13,15", "-meta=1.2.7"},
            {"partset", "2", "SET2", "-refs=11,12,14,15"},
        };
        for (const std::vector<std::string>& args : steps) {
            run_result r = run_kru(sb_, args);
            ASSERT_EQ(0, r.status) << args[0] << " " << args.size() << ": " << r.err;
        }
    }
};

constexpr const char* provisioned_info =
    "Sets: (p1/2)\n"
    "     name:            bootable:  rhdr:      refs:\n"
    "  0  SAFESET          0          1.00 100   7 8 19 15    ACTIVE SET\n"
    "  1  SET1             0          1.02 7     9 10 13 15 \n"
    "  2  SET2             0          0.00 0     11 12 14 15 \n"
    "Sets: (p2/2)\n"
    "     name:            release date:        release id:\n"
    "  0  SAFESET          1970.01.01 00:00:00                      \n"
    "  1  SET1             1970.01.01 00:00:00                      \n"
    "  2  SET2             1970.01.01 00:00:00                      \n"
    "Partitions: (p1/2)\n"
    "     pn: poolname:        offset:     size:        ver:       fstype:   mountpnt:\n"
    "  7   7  kernel           0x0         0x400000     1.00 100             \n"
    "  8   8  rootfs           0x0         0x1800000    1.00 100   squashfs  /\n"
    "  9   9  kernel           0x0         0x400000     1.02 7               \n"
    " 10  10  rootfs           0x0         0x1800000    1.02 7     squashfs  /\n"
    " 11  11  kernel           0x0         0x400000     0.00 0               \n"
    " 12  12  rootfs           0x0         0x1800000    0.00 0     squashfs  /\n"
    " 13  13  appl             0x0         0x2000000    1.02 7     jffs2     /mnt/appl\n"
    " 14  14  appl             0x0         0x2000000    0.00 0     jffs2     /mnt/appl\n"
    " 15   6  misc             0x40000     0x100000     0.00 0     jffs2     /mnt/misc\n"
    " 19  19  appl             0x0         0x1000000    1.00 100   jffs2     /mnt/appl\n"
    "Partitions: (p2/2)\n"
    "     poolname:        content name:     length:     crc32:\n"
    "  7  kernel                             0x300000    0x12345678\n"
    "  8  rootfs                             0x0         0x0       \n"
    "  9  kernel                             0x0         0x0       \n"
    " 10  rootfs                             0x0         0x0       \n"
    " 11  kernel                             0x0         0x0       \n"
    " 12  rootfs                             0x0         0x0       \n"
    " 13  appl                               0x0         0x0       \n"
    " 14  appl                               0x0         0x0       \n"
    " 15  misc                               0x0         0x0       \n"
    " 19  appl                               0x0         0x0       \n"
    "Pools:\n"
    "     pool:            cnt:   type:\n"
    "  0  kernel           3      multi\n"
    "  1  rootfs           3      multi\n"
    "  2  appl             3      multi\n"
    "  3  misc             1      singleton\n"
    "KRU Data Upgrade set 1: VALID(0)\n"
    "KRU Data Upgrade set 2: VALID(0)\n";

TEST_F(ProvisionedDevice, InfoPrintsEveryTable)
{
    run_result r = run_kru(sb_, {"info"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(provisioned_info, r.out);
}

TEST_F(ProvisionedDevice, CsvReportsPrintTheirLayouts)
{
    const struct {
        std::vector<std::string> args;
        const char* out;
    } cases[] = {
        {{"getpartset", "1"},
         "# KRU Partion Set CSV version 1.0\n"
         "# Selected Partition Set: 1\n"
         "# pidx,pool,pn,offset,size,mountpnt,fstype,crc,len,ver,build,build_id\n"
         "9,kernel,9,0x00000000,0x00400000,,,0x00000000,0x00000000,1.2,7,\n"
         "10,rootfs,10,0x00000000,0x01800000,/,squashfs,0x00000000,0x00000000,1.2,7,\n"
         "13,appl,13,0x00000000,0x02000000,/mnt/appl,jffs2,0x00000000,0x00000000,1.2,7,\n"
         "15,misc,6,0x00040000,0x00100000,/mnt/misc,jffs2,0x00000000,0x00000000,0.0,0,\n"
         "# End of list\n"},
        {{"getpartset", "active", "kernel"}, "7,kernel,7,0x00000000,0x00400000,,,0x12345678,0x00300000,1.0,100,\n"},
        {{"getpartset", "0", "-pif=pidx,size_dec,ver"},
         "7,4194304,1.00\n8,25165824,1.00\n19,16777216,1.00\n15,1048576,0.00\n"},
        {{"getpartset", "0x2", "appl", "-pif=pool,pn,mountpnt,fstype,len_dec,ver_major,ver_minor,build_num,build_id"},
         "appl,14,/mnt/appl,jffs2,0,0,00,0,\n"},
        {{"getpartset", "0", "kernel", "-pif=offset,size,len,pidx"}, "0x00000000,0x00400000,0x00300000,7\n"},
        {{"getpartset", "1", "-pif=a,,pidx"}, ",,9\n,,10\n,,13\n,,15\n"},
        {{"getpartset", "1", "rootfs", "-pif="}, "10,rootfs,10,0x00000000,0x01800000,/,squashfs,0x00000000,0x00000000,1.2,7,\n"},
        {{"getrh", "1"},
         "# KRU Release Header CSV version 1.0\n"
         "# Selected Partition Set: 1\n"
         "# ver,build,build_id,build_time\n"
         "1.2,7,,1970.01.01 00:00:00\n"
         "# End of list\n"},
        {{"getrh", "SET1", "-pif=build_time,ver"}, "1970.01.01 00:00:00,1.02\n"},
        {{"getrh", "active", "-pif=ver_major,ver_minor,build_num,build_id,x"}, "1,00,100,,\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        run_result r = run_kru(sb_, c.args);
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ(c.out, r.out);
    }
}

TEST_F(ProvisionedDevice, RefusedArgumentsPrintNoReport)
{
    const std::string pif19 = "-pif=a,b,c,d,e,f,g,h,i,j,k,l,m,n,o,p,q,r,s";   // 20 with one more
    const struct {
        std::vector<std::string> args;
        const char* err;   // empty: accepted
    } cases[] = {
        {{"getpartset"}, "getpartset action: SETIDX is missing.\n"},
        {{"getpartset", "3"}, "getpartset action: SETIDX is illegal.\n"},
        {{"getpartset", "SET1"}, "getpartset action: SETIDX is illegal.\n"},
        {{"getpartset", "1", pif19}, ""},
        {{"getpartset", "1", pif19 + ",t"}, "getpartset action: PIF could not parse or too long.\n"},
        {{"getpartset", "1", "-pif=" + std::string(99, 'x')}, ""},
        {{"getpartset", "1", "-pif=" + std::string(100, 'x')}, "getpartset action: PIF could not parse or too long.\n"},
        {{"getrh"}, "getrh: missing set idx?\n"},
        {{"getrh", "5"}, "getrh: invalid set idx?\n"},
        {{"getrh", "MAIN"}, "getrh: invalid set idx?\n"},
        {{"getrh", "0", pif19 + ",t"}, "getrh: PIF could not parse or too long.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.back());
        run_result r = run_kru(sb_, c.args);
        EXPECT_EQ(*c.err == '\0' ? 0 : 1, r.status);
        EXPECT_EQ(c.err, r.err);
        EXPECT_TRUE(*c.err == '\0' || r.out.empty());
    }
}

// What only an install records: release dates, build ids and content names; also a set of 20
// refs and an active set other than 0.
TEST(ReportOfInstalledRecord, ShowsDatesIdsAndNames)
{
    sandbox sb;
    krul_data rec;
    krul_init(&rec);
    rec.actset = 2;
    partset& set = rec.sets[2];
    std::memcpy(set.name, "SET2", 4);
    for (int i = 0; i < 20; ++i)
        set.refs[i] = static_cast<int8_t>(19 - i);
    std::memcpy(rec.partinfo[3].poolname, "kernel", 6);
    std::memcpy(rec.pinfometa[3].hdr.name, "kernel-2.7.1", 12);
    rec.rhdr[2] = {2, 7, 1021, 1700000000u, "R2.7-rc1"};
    hostconfig hc;
    hostconfig_new(&hc, hostconfig_max_size);
    krul_hostconfig_export(&rec, &hc);
    const std::string cfg = "-cfg=" + sb.path("hc");
    ASSERT_EQ(1, hostconfig_save(&hc, sb.path("hc").c_str(), nullptr));

    run_result r = run_kru(sb, {cfg, "getrh", "active", "-pif=build_time,ver,build_id,build_num"});
    EXPECT_EQ("2023.11.14 22:13:20,2.07,R2.7-rc1,1021\n", r.out);
    r = run_kru(sb, {cfg, "info"});
    EXPECT_NE(std::string::npos,
              r.out.find("  2  SET2             0          2.07 1021  "
                         "19 18 17 16 15 14 13 12 11 10 9 8 7 6 5 4 3 2 1 0    ACTIVE SET\n"));
    EXPECT_NE(std::string::npos, r.out.find("  2  SET2             2023.11.14 22:13:20  R2.7-rc1            \n"));
    EXPECT_NE(std::string::npos, r.out.find("  3  kernel           kernel-2.7.1      0x0         0x0       \n"));
    // The flag words live on /dev/mtd5, which this device lacks.
    EXPECT_NE(std::string::npos, r.out.find("KRU Data Upgrade set 1: INVALID(-1)\nKRU Data Upgrade set 2: INVALID(-1)\n"));
}

}  // namespace
