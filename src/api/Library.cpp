// The library as a loaded module: what exists from load to unload.
//
// The library has no entry-point code and no initialisation or shutdown call.
// Linux's loader sends a shared library no per-thread attach or detach
// notifications, so there is nothing to switch off at load. The objects below
// are built by the C++ runtime, at load or on first use, and destroyed in
// reverse order of construction when the library is unloaded.
//
// Built at load, in src/engine/RpcClientImpl.cpp:
//   - the shared messenger handle, default-constructed (unconfigured); the
//     first request configures it from the namespace "lnk.http.ext.ctrl";
//   - the messenger mutex and the messenger-ready flag that guard it;
//   - the request trace wrapper "ctrl.rpcclient";
//   - the names of the settings namespaces a request reads.
// Built on first use, from whichever thread comes first (function-local
// statics, and QxPal's trace objects):
//   - the message catalog "ctrl" (Catalog::GetCatalog, src/api/Catalog.cpp);
//   - the trace wrapper "ctrl.soap" (src/soap/SOAPArgControlMessageList.cpp)
//     and the list's handle on "ctrl.rpcclient" (src/api/ControlComponentList.cpp);
//   - the trace objects behind the wrappers, which QxPal keeps until the
//     process ends.
//
// None of these objects starts a thread, and none uses another in its
// destructor, so the order of destruction at unload does not matter.
