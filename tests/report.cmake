# The report and partition-table actions, through the kru binary on the emulated device.
kru_add_test(kru_report_test SOURCES kru_report_test.cc LIBS kru_test_support kru_krul)
kru_add_test(kru_parttable_test SOURCES kru_parttable_test.cc LIBS kru_test_support)
