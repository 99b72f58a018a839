/* A stand-in python311.dll for loading an extension module under Wine: every function and
   data object of the C API is exported (by the .def file scripts/check_windows writes) as an
   alias of one of these two. Nothing calls them: the load check only resolves the imports. */
void standin_function(void) {}
char standin_data[1024];
