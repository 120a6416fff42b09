package com.velmora.util.exec;

import java.nio.file.Path;

/**
 * Loads the native libraries of this package. With the system property
 * {@value #DIRECTORY_PROPERTY} set, each library is loaded from that directory by
 * its platform file name; otherwise from the VM's library path.
 */
final class NativeLibraries {
    static final String DIRECTORY_PROPERTY = "com.velmora.util.exec.nativeDir";

    private NativeLibraries() {
    }

    static void load(String name) {
        String directory = System.getProperty(DIRECTORY_PROPERTY);
        if (directory == null) {
            System.loadLibrary(name);
        } else {
            System.load(Path.of(directory, System.mapLibraryName(name)).toAbsolutePath().toString());
        }
    }
}
