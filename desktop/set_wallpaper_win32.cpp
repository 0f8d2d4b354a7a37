// NOT BUILT YET: being written.
