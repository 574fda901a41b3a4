/*
 * A Linux J2534 host program in miniature: scans a directory laid out like
 * ~/.passthru for the JSON file whose NAME matches, loads the library named
 * by its FUNCTION_LIB with dlopen, looks the API up with dlsym and talks to
 * the adapter. It deliberately does not include the library's header: it
 * knows the API only as any host program does, by name and signature.
 *
 * Usage: json_dlopen_host DIR NAME
 * Prints, one per line: "FUNCTION_LIB <path>", "COM-PORT <path>",
 * "protocols <names of the protocol keys that are true>" and
 * "device <id> api <version>".
 * Exit codes: 0 success; 1 the library or a call failed; 2 no readable JSON
 * file in DIR has that NAME; 3 bad usage.
 */
#include <dirent.h>
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

typedef int32_t (*PassThruOpenFn)(const char* name, uint32_t* device_id);
typedef int32_t (*PassThruCloseFn)(uint32_t device_id);
typedef int32_t (*PassThruReadVersionFn)(uint32_t device_id, char* firmware, char* dll, char* api);
typedef int32_t (*PassThruGetLastErrorFn)(char* text);

enum { kMaxJson = 65536, kMaxValue = 4096, kMaxPath = 4096 };

static const char* const kProtocolKeys[] = {
    "J1850VPW", "J1850PWM",     "ISO9141",     "ISO14230",     "CAN",
    "ISO15765", "SCI_A_ENGINE", "SCI_A_TRANS", "SCI_B_ENGINE", "SCI_B_TRANS"};

static const char* skip_space(const char* p) {
  while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') ++p;
  return p;
}

/* The text after `"key"` and its colon, or NULL when the key is absent. */
static const char* value_of(const char* json, const char* key) {
  char quoted[128];
  if (snprintf(quoted, sizeof quoted, "\"%s\"", key) >= (int)sizeof quoted) return NULL;
  for (const char* p = strstr(json, quoted); p != NULL; p = strstr(p + 1, quoted)) {
    const char* after = skip_space(p + strlen(quoted));
    if (*after == ':') return skip_space(after + 1);
  }
  return NULL;
}

/* Copies the string value of `key` into `out` (at most cap - 1 bytes). */
static int json_string(const char* json, const char* key, char* out, size_t cap) {
  const char* p = value_of(json, key);
  if (p == NULL || *p != '"') return 0;
  size_t n = 0;
  for (++p; *p != '\0' && *p != '"'; ++p) {
    if (*p == '\\' && p[1] != '\0') ++p; /* \" \\ \/ stand for the next byte */
    if (n + 1 >= cap) return 0;
    out[n++] = *p;
  }
  out[n] = '\0';
  return *p == '"';
}

/* 1 for true, 0 for false or a missing key. */
static int json_true(const char* json, const char* key) {
  const char* p = value_of(json, key);
  return p != NULL && strncmp(p, "true", 4) == 0;
}

static int read_file(const char* path, char* buffer, size_t cap) {
  FILE* file = fopen(path, "rb");
  if (file == NULL) return 0;
  const size_t n = fread(buffer, 1, cap - 1, file);
  const int whole = feof(file) != 0;
  fclose(file);
  buffer[n] = '\0';
  return whole;
}

/* Finds the file in `dir` whose NAME is `name` and leaves its text in `json`. */
static int find_registration(const char* dir, const char* name, char* json) {
  DIR* d = opendir(dir);
  if (d == NULL) return 0;
  int found = 0;
  for (struct dirent* e = readdir(d); e != NULL && !found; e = readdir(d)) {
    const size_t len = strlen(e->d_name);
    if (len < 5 || strcmp(e->d_name + len - 5, ".json") != 0) continue;
    char path[kMaxPath];
    char value[kMaxValue];
    if (snprintf(path, sizeof path, "%s/%s", dir, e->d_name) >= (int)sizeof path) continue;
    found = read_file(path, json, kMaxJson) && json_string(json, "NAME", value, sizeof value) &&
            strcmp(value, name) == 0;
  }
  closedir(d);
  return found;
}

/* dlsym hands back an object pointer; ISO C only lets it become a function
 * pointer by copying its bytes (which POSIX guarantees to work). */
static int lookup(void* library, const char* name, void* function, size_t size) {
  void* symbol = dlsym(library, name);
  if (symbol == NULL || size != sizeof symbol) {
    fprintf(stderr, "json_dlopen_host: the library lacks %s\n", name);
    return 0;
  }
  memcpy(function, &symbol, size);
  return 1;
}

static int talk_to_adapter(void* library) {
  PassThruOpenFn open_fn;
  PassThruCloseFn close_fn;
  PassThruReadVersionFn version_fn;
  PassThruGetLastErrorFn error_fn;
  if (!lookup(library, "PassThruOpen", &open_fn, sizeof open_fn) ||
      !lookup(library, "PassThruClose", &close_fn, sizeof close_fn) ||
      !lookup(library, "PassThruReadVersion", &version_fn, sizeof version_fn) ||
      !lookup(library, "PassThruGetLastError", &error_fn, sizeof error_fn)) {
    return 1;
  }
  uint32_t device_id = 0;
  char firmware[80] = {0};
  char dll[80] = {0};
  char api[80] = {0};
  char reason[80] = {0};
  int32_t status = open_fn(NULL, &device_id);
  if (status == 0) status = version_fn(device_id, firmware, dll, api);
  if (status == 0) {
    printf("device %lu api %s\n", (unsigned long)device_id, api);
    status = close_fn(device_id);
  }
  if (status != 0) {
    error_fn(reason);
    fprintf(stderr, "json_dlopen_host: a J2534 call returned %ld (%s)\n", (long)status, reason);
    return 1;
  }
  return 0;
}

int main(int argc, char** argv) {
  static char json[kMaxJson];
  char library_path[kMaxValue];
  char com_port[kMaxValue];
  if (argc != 3) {
    fprintf(stderr, "usage: json_dlopen_host DIR NAME\n");
    return 3;
  }
  if (!find_registration(argv[1], argv[2], json)) {
    fprintf(stderr, "json_dlopen_host: no JSON file with NAME \"%s\" in %s\n", argv[2], argv[1]);
    return 2;
  }
  if (!json_string(json, "FUNCTION_LIB", library_path, sizeof library_path) ||
      !json_string(json, "COM-PORT", com_port, sizeof com_port)) {
    fprintf(stderr, "json_dlopen_host: FUNCTION_LIB or COM-PORT missing\n");
    return 1;
  }
  printf("FUNCTION_LIB %s\nCOM-PORT %s\nprotocols", library_path, com_port);
  for (size_t i = 0; i < sizeof kProtocolKeys / sizeof kProtocolKeys[0]; ++i) {
    if (json_true(json, kProtocolKeys[i])) printf(" %s", kProtocolKeys[i]);
  }
  printf("\n");
  fflush(stdout);

  void* library = dlopen(library_path, RTLD_NOW | RTLD_LOCAL);
  if (library == NULL) {
    fprintf(stderr, "json_dlopen_host: dlopen failed: %s\n", dlerror());
    return 1;
  }
  const int rc = talk_to_adapter(library);
  dlclose(library);
  return rc;
}
