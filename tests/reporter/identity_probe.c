/* A module whose identity the reporter reads from its loaded headers: built once linked with a
 * named debug file and a build id, once without. */
__declspec(dllexport) int IdentityProbe(int x) { return x * 7 + 1; }
