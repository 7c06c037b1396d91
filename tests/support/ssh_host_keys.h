#pragma once
// Public host keys for known_hosts files in tests, with the fingerprints and
// hashed host names ssh-keygen gave for them (-l, and -H).

namespace testsupport {

inline constexpr char kEd[] = "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIGTBWaozvGds5mmtPycW0qgQW6/QDajTBDzBcYw6ULI4";
inline constexpr char kEdPrint[] = "SHA256:7HDDKMape10eawtLgFxgLeobzwZ9sibfhViO4FUrbL8";
inline constexpr char kEd2[] = "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIFHHraML0zyy1NMpYP7Aj6Dujf53U6K8N6fHcQsPjS/U";
inline constexpr char kEd2Print[] = "SHA256:fysIhPDuVdCb0yJv9Rto80gk28+MnOxVmAk10J6YD2Q";
inline constexpr char kEc[] = "ecdsa-sha2-nistp256 AAAAE2VjZHNhLXNoYTItbmlzdHAyNTYAAAAIbmlzdHAyNTYAAABBBOV0+"
                              "DKIJOSczdyTXXIv2J/BQbFiUqUleWUahEtzqBZ/vzT3DpotJ3Da3WbNGQBHB79k1Yvu8I8cNY6eiqlWWvM=";
inline constexpr char kEcPrint[] = "SHA256:Pbjz+PiRuk6OtUWpp0omyfrqrmRtN5OUfCWdXDmm3EI";
// Hashed names: "[tarvo.example]:2222" on a line with kEd, "webcam.example" on one with kEc.
inline constexpr char kHashedEd[] = "|1|eVEOluivWXz09QvywfrYbeC1gew=|lFXmjCsnYISWrbjeu33qOTP66IQ=";
inline constexpr char kHashedEc[] = "|1|ug10V0zrOl1dfmZlvdDLtvli/ok=|79RuCYq1Wn08iTC1rxJo3Bp+SjI=";

}  // namespace testsupport
