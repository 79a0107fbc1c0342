/* The jsmn tokenizer from Debian's libjsmn-dev, compiled once into the library: non-strict mode,
 * without parent links. */
#include <jsmn.h>
