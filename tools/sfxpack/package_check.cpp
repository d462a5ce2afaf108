#include "package_check.h"

PackageCheck check_package(std::span<const uint8_t> file, const std::string &name) {
    PackageCheck check{locate_payload(file, name), {}, {}};
    check.problem = record_problem(file, check.location);
    check.report = inspect_payload(payload_bytes(file, check.location));
    if (check.problem.empty() && check.report.result != DECODE_OK)
        check.problem = decode_result_text(check.report.result);
    if (check.problem.empty() && check.location.record_state > 0)
        check.problem = stub_problem(check.location.record, check.report);
    return check;
}
