// Checks the firmware of one camera and upgrades it when it differs from the
// wanted version, with the C++ wrapper.
//
//   upgrade_if_needed_cpp CAMERA_IP PACKAGE VERSION [HOST_IP]
//
// Exit status 0 when the camera runs VERSION (already or after the upgrade).
#include <camupgrade_sdk.hpp>

#include <iostream>

int main(int argc, char** argv) {
    if (argc < 4) {
        std::cerr << "usage: " << argv[0] << " CAMERA_IP PACKAGE VERSION [HOST_IP]\n";
        return 2;
    }
    const std::string camera = argv[1], package = argv[2], wanted = argv[3];
    try {
        camupgrade::Identity id = camupgrade::info(camera);
        if (id.version == wanted) {
            std::cout << camera << " (" << id.manufacturer << " " << id.model
                      << ") runs firmware " << id.version << " already\n";
            return 0;
        }
        std::cout << camera << " runs firmware " << id.version << "; upgrading to " << wanted
                  << "\n";

        camupgrade::Options options;
        options.hostIp = argc > 4 ? argv[4] : "";
        options.onStatus = [last = std::string()](const camupgrade::Status& s) mutable {
            if (s.phaseName != last)
                std::cout << s.cameraIp << ": " << (last = s.phaseName) << "\n";
        };
        camupgrade::Job job(std::move(options));
        job.addCamera(camera, package);
        camupgrade::Result r = job.run().at(0);
        std::cout << camera << ": " << r.verdictName << (r.message.empty() ? "" : ": ")
                  << r.message << "\n";
        if (r.after)
            std::cout << camera << ": firmware " << r.after->version << "\n";
        return r.upgraded() && r.after && r.after->version == wanted ? 0 : 1;
    } catch (const camupgrade::Error& e) {
        std::cerr << camera << ": " << e.what() << "\n";
        return 1;
    }
}
