/* The code of every demo sample driver: an entry point that loads and does
   nothing. The samples differ in their version resources and debug records. */
long DriverEntry(void* DriverObject, void* RegistryPath) {
    (void)DriverObject;
    (void)RegistryPath;
    return 0;
}
