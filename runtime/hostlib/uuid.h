// Random identifiers.
#pragma once

// A random (version 4) UUID as malloc'ed lower-case text
// "xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx", or null when no randomness is
// available. The caller frees it with free().
char *UUID_CreateRandom();

// Packs UUID text in place into its 32 hexadecimal digits (the dashes are
// dropped, the digits keep their case and order). Returns non-zero on success;
// text that is not in the 8-4-4-4-12 form is left unchanged and 0 is returned.
int UUID_PackText(char *text);
