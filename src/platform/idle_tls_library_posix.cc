// The system's libcurl also links GnuTLS (through librtmp), a TLS library the
// uploader never uses: every connection goes through OpenSSL. GnuTLS sets
// itself up as it is loaded (its random generator, its algorithm and
// certificate tables: about 0.7 MiB of resident memory) unless the program
// defines this hook, which GnuTLS leaves to programs for that purpose; the
// link exports it so that the library finds it. Nothing calls GnuTLS, so
// nothing misses the set-up.
extern "C" __attribute__((visibility("default"))) int _gnutls_global_init_skip(void) { return 1; }
