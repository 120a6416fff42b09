// Empty: the shared libraries of the JVM build are made of their static cores.
