/* Keeps the sample-data library non-empty while it has no C++ file. */
int velmar_sampledata_placeholder;
