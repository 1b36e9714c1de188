# install rules come later
