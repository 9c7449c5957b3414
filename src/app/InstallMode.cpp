#include "app/InstallMode.hpp"

namespace veltro {

namespace {

constexpr const char* unsignedLine =
    "Veltro Terminal Helper: signed without a team, so make local loads its launch agent";
constexpr const char* statusLinePrefix = "Veltro Terminal Helper: agent status ";

AlertContent notLoadedAlert() {
    return {"Veltro Terminal Helper isn\u2019t loaded",
            "This copy was built with make local, which loads it. Run make local again.",
            {}};
}

AlertContent setupFailedAlert(const std::string& error) {
    return {"Veltro Terminal Helper couldn\u2019t set itself up", error, {}};
}

AlertContent approvalAlert() {
    return {"Allow Veltro Terminal Helper in Login Items",
            "Veltro's terminal tabs need it. Turn on \u201cVeltro Terminal Helper\u201d under "
            "Allow in the Background, then open a terminal tab again.",
            {"Open Login Items", "Later"}};
}

// A registration that succeeded may still wait for the person's approval; only that case and a
// failure need an alert. The status is read anew at each step because the system may change it
// while we look.
int registerAndReport(ServiceManagement& service, Alert& alert, std::ostream& output) {
    Expected<void> registered = service.registerAgent();
    output << statusLinePrefix << service.status();
    if (!registered)
        output << ", error: " << registered.error();
    output << '\n' << std::flush;

    if (registered && service.status() != ServiceManagement::requiresApproval)
        return 0;

    if (service.status() != ServiceManagement::requiresApproval) {
        alert.runModal(setupFailedAlert(registered ? std::string() : registered.error()));
        return 0;
    }
    if (alert.runModal(approvalAlert()) == Alert::firstButtonResponse)
        service.openSettings();
    return 0;
}

} // namespace

int runInstallMode(const PeerRequirement::Signer& signer, ServiceManagement& service, Alert& alert,
                   std::ostream& output) {
    if (signer.kind != PeerRequirement::Signer::Kind::team) {
        output << unsignedLine << '\n' << std::flush;
        alert.runModal(notLoadedAlert());
        return 0;
    }
    return registerAndReport(service, alert, output);
}

} // namespace veltro
