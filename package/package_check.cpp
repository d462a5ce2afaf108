#include "package/package_check.h"

#include "decoder/payload_format.h"

PackageCheck check_package(const InputFile &file, const std::string &name) {
    PackageCheck check{locate_payload(file.read_at(0, PAYLOAD_OFFSET), file.size(), name), {}, {}};
    check.problem = record_problem(file, check.location);
    check.report = inspect_payload({file.fd(), check.location.payload_offset, payload_end(check.location)});
    if (check.problem.empty() && check.report.result != DECODE_OK)
        check.problem = decode_result_text(check.report.result);
    if (check.problem.empty() && check.location.record_state > 0)
        check.problem = stub_problem(check.location.record, check.report);
    return check;
}
